use std::panic::{catch_unwind, AssertUnwindSafe};

/// Receives output bytes; returns false to refuse them.
pub type IxoSink = Option<unsafe extern "C" fn(ctx: *mut core::ffi::c_void, data: *const u8, len: usize) -> bool>;

pub(crate) unsafe fn input<'a>(data: *const u8, len: usize) -> &'a [u8] {
    if data.is_null() || len == 0 {
        &[]
    } else {
        std::slice::from_raw_parts(data, len)
    }
}

/// Full Unicode lowercase (with the final-sigma rule) of UTF-8 text, written to the sink.
/// 0 done, 1 not UTF-8, 2 bad arguments or refused by the sink, 3 panicked.
#[no_mangle]
pub unsafe extern "C" fn ixo_to_lowercase(
    data: *const u8,
    len: usize,
    sink: IxoSink,
    ctx: *mut core::ffi::c_void,
) -> i32 {
    let Some(sink) = sink else { return 2 };
    catch_unwind(AssertUnwindSafe(|| {
        let Ok(text) = std::str::from_utf8(input(data, len)) else { return 1 };
        let lower = text.to_lowercase();
        if sink(ctx, lower.as_ptr(), lower.len()) {
            0
        } else {
            2
        }
    }))
    .unwrap_or(3)
}
