use std::ffi::c_void;
use std::io::{self, Cursor, Write};
use std::panic::{catch_unwind, AssertUnwindSafe};

use crate::text::{input, IxoSink};

pub const IXO_TRANSFORM_OK: i32 = 0;
pub const IXO_TRANSFORM_ERROR: i32 = 1;
pub const IXO_TRANSFORM_PANIC: i32 = 2;
pub const IXO_TRANSFORM_BAD_ARGS: i32 = 3;

type SinkFn = unsafe extern "C" fn(ctx: *mut c_void, data: *const u8, len: usize) -> bool;

/// Writes through the caller's bounded buffer; a refusal becomes the limit error.
pub(crate) struct SinkWriter {
    sink: SinkFn,
    ctx: *mut c_void,
}

impl Write for SinkWriter {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        if buf.is_empty() {
            return Ok(0);
        }
        if unsafe { (self.sink)(self.ctx, buf.as_ptr(), buf.len()) } {
            Ok(buf.len())
        } else {
            Err(io::Error::new(io::ErrorKind::InvalidData, "transform output exceeds limit"))
        }
    }
    fn flush(&mut self) -> io::Result<()> {
        Ok(())
    }
}

fn report(err_sink: IxoSink, err_ctx: *mut c_void, text: &str) {
    if let Some(f) = err_sink {
        unsafe {
            f(err_ctx, text.as_ptr(), text.len());
        }
    }
}

pub(crate) fn lepton_features() -> lepton_jpeg::EnabledFeatures {
    lepton_jpeg::EnabledFeatures {
        progressive: true,
        reject_dqts_with_zeros: true,
        max_jpeg_width: 4096,
        max_jpeg_height: 4096,
        use_16bit_dc_estimate: true,
        use_16bit_adv_predict: true,
        accept_invalid_dht: false,
        max_threads: 1,
        max_jpeg_file_size: 64 << 20,
        stop_reading_at_eoi: false,
    }
}

/// Rebuilds a JPEG from its Lepton container. The library's error text goes to err_sink.
#[no_mangle]
pub unsafe extern "C" fn ixo_lepton_decode(
    data: *const u8,
    len: usize,
    out: IxoSink,
    out_ctx: *mut c_void,
    err_sink: IxoSink,
    err_ctx: *mut c_void,
) -> i32 {
    let Some(out) = out else { return IXO_TRANSFORM_BAD_ARGS };
    let stored = input(data, len);
    let result = catch_unwind(AssertUnwindSafe(|| {
        let mut writer = SinkWriter { sink: out, ctx: out_ctx };
        lepton_jpeg::decode_lepton(
            &mut Cursor::new(stored),
            &mut writer,
            &lepton_features(),
            &lepton_jpeg::DEFAULT_THREAD_POOL,
        )
        .map(|_| ())
        .map_err(|e| e.to_string())
    }));
    match result {
        Ok(Ok(())) => IXO_TRANSFORM_OK,
        Ok(Err(text)) => {
            report(err_sink, err_ctx, &text);
            IXO_TRANSFORM_ERROR
        }
        Err(_) => IXO_TRANSFORM_PANIC,
    }
}

/// Rebuilds a file from its preflate container. The library's error (Debug form) goes to err_sink.
#[no_mangle]
pub unsafe extern "C" fn ixo_preflate_decode(
    data: *const u8,
    len: usize,
    out: IxoSink,
    out_ctx: *mut c_void,
    err_sink: IxoSink,
    err_ctx: *mut c_void,
) -> i32 {
    let Some(out) = out else { return IXO_TRANSFORM_BAD_ARGS };
    let stored = input(data, len);
    let result = catch_unwind(AssertUnwindSafe(|| {
        let mut writer = SinkWriter { sink: out, ctx: out_ctx };
        preflate_rs::recreate_whole_from_container(&mut Cursor::new(stored), &mut writer)
            .map_err(|e| format!("{e:?}"))
    }));
    match result {
        Ok(Ok(())) => IXO_TRANSFORM_OK,
        Ok(Err(text)) => {
            report(err_sink, err_ctx, &text);
            IXO_TRANSFORM_ERROR
        }
        Err(_) => IXO_TRANSFORM_PANIC,
    }
}
