//! JPEG files to and from Lepton containers (lepton_jpeg 0.5.3).

use std::ffi::c_void;
use std::io::Cursor;
use std::panic::{catch_unwind, AssertUnwindSafe};

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
            &lepton_jpeg::DEFAULT_THREAD_POOL,
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
