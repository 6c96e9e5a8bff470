//! The caller's output buffer and error text, seen from Rust, and the codes every transform export returns.

use std::ffi::c_void;
use std::io::{self, Seek, SeekFrom, Write};

use crate::text::IxoSink;

pub const IXO_TRANSFORM_OK: i32 = 0;
pub const IXO_TRANSFORM_ERROR: i32 = 1;
pub const IXO_TRANSFORM_PANIC: i32 = 2;
pub const IXO_TRANSFORM_BAD_ARGS: i32 = 3;

pub(crate) type SinkFn = unsafe extern "C" fn(ctx: *mut c_void, data: *const u8, len: usize) -> bool;

pub(crate) fn limit_error() -> io::Error {
    io::Error::new(io::ErrorKind::InvalidData, "transform output exceeds limit")
}

/// Writes through the caller's bounded buffer. A write lands whole or not at all; a refusal is the limit error.
pub(crate) struct SinkWriter {
    pub sink: SinkFn,
    pub ctx: *mut c_void,
}

impl Write for SinkWriter {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        if buf.is_empty() {
            return Ok(0);
        }
        if unsafe { (self.sink)(self.ctx, buf.as_ptr(), buf.len()) } {
            Ok(buf.len())
        } else {
            Err(limit_error())
        }
    }
    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

/// The Lepton encoder's writer. Its pool threads panic when the writer fails, so a refused write is remembered
/// instead and everything after it is dropped; the position still counts every byte.
pub(crate) struct TolerantSink {
    pub sink: SinkFn,
    pub ctx: *mut c_void,
    pub position: u64,
    pub refused: bool,
}

impl Write for TolerantSink {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        if !buf.is_empty() && !self.refused && !unsafe { (self.sink)(self.ctx, buf.as_ptr(), buf.len()) } {
            self.refused = true;
        }
        self.position += buf.len() as u64;
        Ok(buf.len())
    }
    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

impl Seek for TolerantSink {
    fn seek(&mut self, pos: SeekFrom) -> io::Result<u64> {
        match pos {
            SeekFrom::Current(0) => Ok(self.position),
            _ => Err(io::Error::new(io::ErrorKind::Unsupported, "the output cannot seek")),
        }
    }
}

pub(crate) fn report(err_sink: IxoSink, err_ctx: *mut c_void, text: &str) {
    if let Some(f) = err_sink {
        unsafe {
            f(err_ctx, text.as_ptr(), text.len());
        }
    }
}

/// Maps the outcome of a caught call to the export's code, handing an error's text to err_sink.
pub(crate) fn finish(result: std::thread::Result<Result<(), String>>, err_sink: IxoSink, err_ctx: *mut c_void) -> i32 {
    match result {
        Ok(Ok(())) => IXO_TRANSFORM_OK,
        Ok(Err(text)) => {
            report(err_sink, err_ctx, &text);
            IXO_TRANSFORM_ERROR
        }
        Err(_) => IXO_TRANSFORM_PANIC,
    }
}
