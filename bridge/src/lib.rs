//! C ABI over the Rust libraries the extractor needs. Nothing here unwinds into C: every export catches panics.

mod alloc_guard;
mod container_bounds;
mod digest;
mod lepton;
mod panic_filter;
mod preflate;
mod sink;
mod text;

pub use alloc_guard::*;
pub use digest::*;
pub use lepton::*;
pub use panic_filter::*;
pub use preflate::*;
pub use sink::*;
pub use text::*;
