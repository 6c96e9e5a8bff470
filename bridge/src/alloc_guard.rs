//! Every allocation of the Rust side, through the system allocator. In a child process that runs one decode, a
//! failed allocation ends that process at once with a status the parent knows, instead of the standard report
//! and abort: the parent can then tell "out of memory" from a crash. A thread that cannot be started ends it the
//! same way, with a status of its own unless there was no room for the thread's stack.

use std::alloc::{GlobalAlloc, Layout, System};
use std::cell::Cell;
use std::ffi::c_void;
use std::sync::atomic::{AtomicI32, Ordering};
use std::time::Duration;

static EXIT_STATUS: AtomicI32 = AtomicI32::new(-1);
static THREAD_EXIT_STATUS: AtomicI32 = AtomicI32::new(-1);
const OTHER_THREAD_GRACE: Duration = Duration::from_secs(2);

thread_local! {
    static CALLER: Cell<bool> = const { Cell::new(false) };
}

extern "C" {
    fn _exit(status: i32) -> !;
    fn mmap(addr: *mut c_void, len: usize, prot: i32, flags: i32, fd: i32, offset: i64) -> *mut c_void;
    fn munmap(addr: *mut c_void, len: usize) -> i32;
}

const PROT_READ: i32 = 1;
const PROT_WRITE: i32 = 2;
const MAP_PRIVATE: i32 = 2;
const MAP_ANONYMOUS: i32 = 0x20;
// A thread of std's default size: its stack and a guard page, counted as data as the thread library maps it.
const THREAD_STACK_BYTES: usize = (2 << 20) + (64 << 10);

struct Guarded;

fn exit_with(status: &AtomicI32) {
    let status = status.load(Ordering::Relaxed);
    if status >= 0 {
        if !CALLER.with(|c| c.get()) {
            std::thread::sleep(OTHER_THREAD_GRACE);
        }
        unsafe { _exit(status) }
    }
}

/// Ends the process as an allocation failure does, when that is armed; otherwise returns.
pub(crate) fn exit_if_armed() {
    exit_with(&EXIT_STATUS);
}

/// After a thread could not be started: ends the process as an allocation failure does when there is no room for
/// a thread's stack, else with the status for a thread that cannot start, when those are armed; otherwise returns.
/// The system gives the same error for both.
pub(crate) fn exit_if_thread_refused() {
    let stack = unsafe {
        mmap(std::ptr::null_mut(), THREAD_STACK_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
    };
    if stack as usize == usize::MAX {
        exit_if_armed();
        return;
    }
    unsafe { munmap(stack, THREAD_STACK_BYTES) };
    exit_with(&THREAD_EXIT_STATUS);
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

/// From now on a thread that cannot be started while there is memory for its stack ends the process with this
/// status (a negative status turns that off).
#[no_mangle]
pub extern "C" fn ixo_exit_on_thread_failure(status: i32) {
    THREAD_EXIT_STATUS.store(status, Ordering::Relaxed);
}
