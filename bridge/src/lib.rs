//! C ABI over the Rust libraries the extractor needs. Nothing here unwinds into C: every export catches panics.

mod container_bounds;
mod digest;
mod lepton;
mod panic_filter;
mod preflate;
mod sink;
mod text;

pub use digest::*;
pub use lepton::*;
pub use panic_filter::*;
pub use preflate::*;
pub use sink::*;
pub use text::*;
