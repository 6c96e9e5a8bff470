//! Every allocation of the Rust side, through the system allocator. In a child process that runs one decode, a
//! failed allocation ends that process at once with a status the parent knows, instead of the standard report
//! and abort: the parent can then tell "out of memory" from a crash.

use std::alloc::{GlobalAlloc, Layout, System};
use std::cell::Cell;
use std::sync::atomic::{AtomicI32, Ordering};
use std::time::Duration;

static EXIT_STATUS: AtomicI32 = AtomicI32::new(-1);
const OTHER_THREAD_GRACE: Duration = Duration::from_secs(2);

thread_local! {
    static CALLER: Cell<bool> = const { Cell::new(false) };
}

extern "C" {
    fn _exit(status: i32) -> !;
}

struct Guarded;

/// Ends the process as an allocation failure does, when that is armed; otherwise returns.
pub(crate) fn exit_if_armed() {
    let status = EXIT_STATUS.load(Ordering::Relaxed);
    if status >= 0 {
        if !CALLER.with(|c| c.get()) {
            std::thread::sleep(OTHER_THREAD_GRACE);
        }
        unsafe { _exit(status) }
    }
}

#[inline]
fn checked(p: *mut u8) -> *mut u8 {
    if p.is_null() {
        exit_if_armed();
    }
    p
}

unsafe impl GlobalAlloc for Guarded {
    unsafe fn alloc(&self, layout: Layout) -> *mut u8 {
        checked(System.alloc(layout))
    }
    unsafe fn alloc_zeroed(&self, layout: Layout) -> *mut u8 {
        checked(System.alloc_zeroed(layout))
    }
    unsafe fn dealloc(&self, ptr: *mut u8, layout: Layout) {
        System.dealloc(ptr, layout)
    }
    unsafe fn realloc(&self, ptr: *mut u8, layout: Layout, new_size: usize) -> *mut u8 {
        checked(System.realloc(ptr, layout, new_size))
    }
}

#[global_allocator]
static GLOBAL: Guarded = Guarded;

/// From now on a failed allocation ends the process with this status (a negative status turns that off); the
/// calling thread is the caller of the decode.
#[no_mangle]
pub extern "C" fn ixo_exit_on_alloc_failure(status: i32) {
    CALLER.with(|c| c.set(status >= 0));
    EXIT_STATUS.store(status, Ordering::Relaxed);
}
