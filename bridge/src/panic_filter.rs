use std::cell::Cell;
use std::panic;

thread_local! {
    static QUIET: Cell<bool> = const { Cell::new(false) };
}

/// Installs the crash-report filter: silent on a thread whose quiet flag is set, the previous hook otherwise.
#[no_mangle]
pub extern "C" fn ixo_install_panic_filter() {
    let _ = panic::catch_unwind(|| {
        let previous = panic::take_hook();
        panic::set_hook(Box::new(move |info| {
            if QUIET.with(|q| q.get()) {
                return;
            }
            previous(info);
        }));
    });
}

/// Sets this thread's quiet flag and returns its previous value.
#[no_mangle]
pub extern "C" fn ixo_set_quiet(quiet: bool) -> bool {
    QUIET.with(|q| q.replace(quiet))
}

#[no_mangle]
pub extern "C" fn ixo_quiet() -> bool {
    QUIET.with(|q| q.get())
}

/// Test aid: panics inside a catch on the calling thread, so the hook runs; returns true when the panic was caught.
#[no_mangle]
pub extern "C" fn ixo_bridge_test_panic() -> bool {
    panic::catch_unwind(|| panic!("bridge test panic")).is_err()
}
