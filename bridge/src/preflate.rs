//! Files with deflate streams to and from preflate containers (preflate-rs 0.7.1).

use std::ffi::c_void;
use std::io::Cursor;
use std::panic::{catch_unwind, AssertUnwindSafe};

use preflate_rs::{PreflateConfig, PreflateContainerProcessor, ProcessBuffer};

use crate::container_bounds::check_preflate_container;
use crate::sink::{finish, SinkWriter, IXO_TRANSFORM_BAD_ARGS};
use crate::text::{input, IxoSink};

const PIECE: usize = 1 << 20;

/// Rebuilds a file from its preflate container into out. The library's error (its Debug form) goes to err_sink.
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
        // The library sizes some tables from container fields before it reads what they describe; a failed
        // allocation would end the process, so such fields are measured against the container first.
        check_preflate_container(stored).map_err(|e| format!("{e:?}"))?;
        let mut writer = SinkWriter { sink: out, ctx: out_ctx };
        preflate_rs::recreate_whole_from_container(&mut Cursor::new(stored), &mut writer).map_err(|e| format!("{e:?}"))
    }));
    finish(result, err_sink, err_ctx)
}

/// Expands the deflate streams of a file into a preflate container written to out.
#[no_mangle]
pub unsafe extern "C" fn ixo_preflate_encode(
    data: *const u8,
    len: usize,
    out: IxoSink,
    out_ctx: *mut c_void,
    err_sink: IxoSink,
    err_ctx: *mut c_void,
) -> i32 {
    let Some(out) = out else { return IXO_TRANSFORM_BAD_ARGS };
    let plain = input(data, len);
    let result = catch_unwind(AssertUnwindSafe(|| {
        let mut processor = PreflateContainerProcessor::new(PreflateConfig {
            min_chunk_size: 1048576,
            max_chunk_size: 67108864,
            plain_text_limit: 134217728,
            total_plain_text_limit: 536870912,
            verify: true,
        });
        let mut writer = SinkWriter { sink: out, ctx: out_ctx };
        // Not preflate_whole_into_container: it unwraps the library's errors.
        for piece in plain.chunks(PIECE) {
            processor.process_buffer(piece, false, &mut writer, PIECE).map_err(|e| format!("{e:?}"))?;
        }
        while !processor.process_buffer(&[], true, &mut writer, usize::MAX).map_err(|e| format!("{e:?}"))? {}
        Ok(())
    }));
    finish(result, err_sink, err_ctx)
}
