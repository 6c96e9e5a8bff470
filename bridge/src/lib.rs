//! C ABI over the Rust libraries the extractor needs. Nothing here unwinds into C: every export catches panics.

mod digest;
mod panic_filter;
mod text;
mod transform;

pub use digest::*;
pub use panic_filter::*;
pub use text::*;
pub use transform::*;
