//! JPEG files to and from Lepton containers (lepton_jpeg 0.5.3).

use std::ffi::c_void;
use std::io::Cursor;
use std::panic::{catch_unwind, AssertUnwindSafe};

use crate::alloc_guard::exit_if_thread_refused;
use crate::sink::{finish, limit_error, SinkWriter, TolerantSink, IXO_TRANSFORM_BAD_ARGS};
use crate::text::{input, IxoSink};

/// The one set of settings for both directions; the container header records the two 16-bit flags and overrides
/// them on decode.
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

/// Each job of a decode on a thread of its own. The library's shared pool would keep threads working on a file
/// after its call returned, and a process forked from one that used that pool inherits its bookkeeping without
/// its threads, so a job given to it there would never run.
struct ThreadPerJob;

impl lepton_jpeg::LeptonThreadPool for ThreadPerJob {
    fn run(&'static self, f: Box<dyn FnOnce() + Send + 'static>) {
        if let Err(e) = std::thread::Builder::new().spawn(f) {
            exit_if_thread_refused();
            panic!("cannot start a decoding thread: {e}");
        }
    }
}

static THREAD_PER_JOB: ThreadPerJob = ThreadPerJob;

/// Rebuilds a JPEG from its Lepton container into out. The library's error text (its Display form, with the
/// library's own source positions) goes to err_sink.
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
        // decode_lepton already adds the library's context to its errors; adding ours would name this file.
        lepton_jpeg::decode_lepton(
            &mut Cursor::new(stored),
            &mut writer,
            &lepton_features(),
            &THREAD_PER_JOB,
        )
        .map(|_| ())
        .map_err(|e| e.to_string())
    }));
    finish(result, err_sink, err_ctx)
}

/// Encodes a JPEG as a Lepton container into out. A write that out refuses makes the whole encode fail with the
/// limit error; nothing after it is written.
#[no_mangle]
pub unsafe extern "C" fn ixo_lepton_encode(
    data: *const u8,
    len: usize,
    out: IxoSink,
    out_ctx: *mut c_void,
    err_sink: IxoSink,
    err_ctx: *mut c_void,
) -> i32 {
    let Some(out) = out else { return IXO_TRANSFORM_BAD_ARGS };
    let jpeg = input(data, len);
    let result = catch_unwind(AssertUnwindSafe(|| {
        let mut writer = TolerantSink { sink: out, ctx: out_ctx, position: 0, refused: false };
        let encoded = lepton_jpeg::encode_lepton(
            &mut Cursor::new(jpeg),
            &mut writer,
            &lepton_features(),
            &lepton_jpeg::DEFAULT_THREAD_POOL,
        );
        match encoded {
            Err(e) => Err(e.to_string()),
            Ok(_) if writer.refused => Err(limit_error().to_string()),
            Ok(_) => Ok(()),
        }
    }));
    finish(result, err_sink, err_ctx)
}
