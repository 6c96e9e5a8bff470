use std::panic::{catch_unwind, AssertUnwindSafe};

pub const IXO_DIGEST_LEN: usize = 32;

unsafe fn bytes<'a>(data: *const u8, len: usize) -> &'a [u8] {
    if data.is_null() || len == 0 {
        &[]
    } else {
        std::slice::from_raw_parts(data, len)
    }
}

/// One-shot BLAKE3 of (data, len) into out[32].
#[no_mangle]
pub unsafe extern "C" fn ixo_blake3_hash(data: *const u8, len: usize, out: *mut u8) -> bool {
    if out.is_null() {
        return false;
    }
    catch_unwind(AssertUnwindSafe(|| {
        let digest = blake3::hash(bytes(data, len));
        std::ptr::copy_nonoverlapping(digest.as_bytes().as_ptr(), out, IXO_DIGEST_LEN);
    }))
    .is_ok()
}

pub struct IxoBlake3(blake3::Hasher);

#[no_mangle]
pub extern "C" fn ixo_blake3_new() -> *mut IxoBlake3 {
    catch_unwind(|| Box::into_raw(Box::new(IxoBlake3(blake3::Hasher::new())))).unwrap_or(std::ptr::null_mut())
}

#[no_mangle]
pub unsafe extern "C" fn ixo_blake3_update(h: *mut IxoBlake3, data: *const u8, len: usize) -> bool {
    if h.is_null() {
        return false;
    }
    catch_unwind(AssertUnwindSafe(|| {
        (*h).0.update(bytes(data, len));
    }))
    .is_ok()
}

#[no_mangle]
pub unsafe extern "C" fn ixo_blake3_finalize(h: *const IxoBlake3, out: *mut u8) -> bool {
    if h.is_null() || out.is_null() {
        return false;
    }
    catch_unwind(AssertUnwindSafe(|| {
        let digest = (*h).0.finalize();
        std::ptr::copy_nonoverlapping(digest.as_bytes().as_ptr(), out, IXO_DIGEST_LEN);
    }))
    .is_ok()
}

#[no_mangle]
pub unsafe extern "C" fn ixo_blake3_reset(h: *mut IxoBlake3) {
    if !h.is_null() {
        let _ = catch_unwind(AssertUnwindSafe(|| {
            (*h).0.reset();
        }));
    }
}

#[no_mangle]
pub unsafe extern "C" fn ixo_blake3_free(h: *mut IxoBlake3) {
    if !h.is_null() {
        let _ = catch_unwind(AssertUnwindSafe(|| drop(Box::from_raw(h))));
    }
}
