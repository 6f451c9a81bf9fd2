//! A deliberately small C ABI over the `zenoh` crate.
//!
//! This is the only place of orbaltkvt that knows Rust exists. It offers what the C++ `zenoh`
//! layer needs: a session opened from the default configuration, key expressions with
//! autocanonization, subscribers with a sample callback, queries with a reply callback and a
//! completion callback, and a `put` used by tests and benchmarks.
//!
//! Rules kept by every entry point:
//! - results are zenoh-c style signed 8-bit codes (0 is success);
//! - no panic crosses the ABI: every entry point and every callback runs under `catch_unwind`;
//! - a callback context handed in is released exactly once through its drop function, also when
//!   the declaration or the query fails;
//! - callbacks may run concurrently on several zenoh threads.

use std::ffi::{c_char, c_void, CStr};
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::sync::atomic::{AtomicBool, Ordering};
use std::sync::Once;
use std::time::Duration;

use zenoh::bytes::{Encoding, ZBytes};
use zenoh::key_expr::KeyExpr;
use zenoh::qos::{CongestionControl, Priority};
use zenoh::query::QueryTarget;
use zenoh::Wait;

pub const ORBZ_OK: i8 = 0;
pub const ORBZ_EINVAL: i8 = -1;
pub const ORBZ_ENULL: i8 = -5;
pub const ORBZ_EGENERIC: i8 = i8::MIN;

/// Default zenoh configuration, consumed by `orbz_open`.
pub struct OrbzConfig(zenoh::Config);
/// An open session.
pub struct OrbzSession(zenoh::Session);
/// A canonical key expression.
pub struct OrbzKeyExpr(KeyExpr<'static>);
/// A declared subscriber; dropping it undeclares.
pub struct OrbzSubscriber(Option<zenoh::pubsub::Subscriber<()>>);

pub type OrbzSampleCallback = extern "C" fn(ctx: *mut c_void, data: *const u8, len: usize);
pub type OrbzReplyCallback =
    extern "C" fn(ctx: *mut c_void, is_ok: bool, data: *const u8, len: usize);
pub type OrbzDropCallback = Option<extern "C" fn(ctx: *mut c_void)>;

// ---------------------------------------------------------------------------------------------
// Process exit.
//
// The zenoh runtime must not be used once the process has started to exit: thread-local storage
// is torn down before the exit handlers and static destructors run, and zenoh panics when it
// touches a destroyed thread local. Handles released that late are leaked instead of closed; the
// process is going away anyway and the peers notice through the lease.

static EXITING: AtomicBool = AtomicBool::new(false);
static EXIT_HOOK: Once = Once::new();

extern "C" {
    fn atexit(cb: extern "C" fn()) -> i32;
}

extern "C" fn mark_exiting() {
    EXITING.store(true, Ordering::SeqCst);
}

struct TlsProbe;
impl Drop for TlsProbe {
    fn drop(&mut self) {}
}
thread_local! {
    static TLS_PROBE: TlsProbe = const { TlsProbe };
}

/// Registers the probe before zenoh registers thread locals of its own on this thread, so the
/// probe is gone only once the whole thread-local teardown has run.
fn touch_probe() {
    let _ = TLS_PROBE.try_with(|_| ());
}

fn runtime_usable() -> bool {
    !EXITING.load(Ordering::SeqCst) && TLS_PROBE.try_with(|_| ()).is_ok()
}

fn guarded<F: FnOnce() -> i8>(f: F) -> i8 {
    touch_probe();
    catch_unwind(AssertUnwindSafe(f)).unwrap_or(ORBZ_EGENERIC)
}

/// Owns a foreign callback context and releases it exactly once.
struct Context {
    ctx: *mut c_void,
    drop: OrbzDropCallback,
}
// The context is an opaque pointer whose thread safety the C++ side guarantees.
unsafe impl Send for Context {}
unsafe impl Sync for Context {}

impl Drop for Context {
    fn drop(&mut self) {
        if let Some(cb) = self.drop {
            let ctx = self.ctx;
            let _ = catch_unwind(AssertUnwindSafe(move || cb(ctx)));
        }
    }
}

fn bytes_arg<'a>(data: *const u8, len: usize) -> &'a [u8] {
    if data.is_null() || len == 0 {
        &[]
    } else {
        unsafe { std::slice::from_raw_parts(data, len) }
    }
}

// ---------------------------------------------------------------------------------------------
// Configuration and session.

#[no_mangle]
pub extern "C" fn orbz_config_default(out: *mut *mut OrbzConfig) -> i8 {
    guarded(|| {
        if out.is_null() {
            return ORBZ_ENULL;
        }
        let config = Box::new(OrbzConfig(zenoh::Config::default()));
        unsafe { *out = Box::into_raw(config) };
        ORBZ_OK
    })
}

#[no_mangle]
pub extern "C" fn orbz_config_drop(config: *mut OrbzConfig) {
    if !config.is_null() {
        let _ = catch_unwind(AssertUnwindSafe(|| drop(unsafe { Box::from_raw(config) })));
    }
}

/// Opens a session; consumes `config` whatever the outcome.
#[no_mangle]
pub extern "C" fn orbz_open(out: *mut *mut OrbzSession, config: *mut OrbzConfig) -> i8 {
    guarded(|| {
        if config.is_null() {
            return ORBZ_ENULL;
        }
        let config = unsafe { Box::from_raw(config) };
        if out.is_null() {
            return ORBZ_ENULL;
        }
        EXIT_HOOK.call_once(|| unsafe {
            atexit(mark_exiting);
        });
        match zenoh::open(config.0).wait() {
            Ok(session) => {
                unsafe { *out = Box::into_raw(Box::new(OrbzSession(session))) };
                ORBZ_OK
            }
            Err(_) => ORBZ_EGENERIC,
        }
    })
}

/// Closes and frees a session.
#[no_mangle]
pub extern "C" fn orbz_session_drop(session: *mut OrbzSession) {
    if session.is_null() {
        return;
    }
    let session = unsafe { Box::from_raw(session) };
    if !runtime_usable() {
        std::mem::forget(session);
        return;
    }
    let _ = catch_unwind(AssertUnwindSafe(move || {
        let _ = session.0.close().wait();
        drop(session);
    }));
}

// ---------------------------------------------------------------------------------------------
// Key expressions.

#[no_mangle]
pub extern "C" fn orbz_keyexpr_from_substr_autocanonize(
    text: *const c_char,
    len: usize,
    out: *mut *mut OrbzKeyExpr,
) -> i8 {
    guarded(|| {
        if out.is_null() || (text.is_null() && len != 0) {
            return ORBZ_ENULL;
        }
        let raw = bytes_arg(text as *const u8, len);
        let Ok(text) = std::str::from_utf8(raw) else {
            return ORBZ_EINVAL;
        };
        match KeyExpr::autocanonize(text.to_owned()) {
            Ok(ke) => {
                unsafe { *out = Box::into_raw(Box::new(OrbzKeyExpr(ke))) };
                ORBZ_OK
            }
            Err(_) => ORBZ_EINVAL,
        }
    })
}

/// Borrows the canonical text of a key expression (not zero-terminated).
#[no_mangle]
pub extern "C" fn orbz_keyexpr_as_str(
    ke: *const OrbzKeyExpr,
    text: *mut *const c_char,
    len: *mut usize,
) -> i8 {
    guarded(|| {
        if ke.is_null() || text.is_null() || len.is_null() {
            return ORBZ_ENULL;
        }
        let s = unsafe { (*ke).0.as_str() };
        unsafe {
            *text = s.as_ptr() as *const c_char;
            *len = s.len();
        }
        ORBZ_OK
    })
}

#[no_mangle]
pub extern "C" fn orbz_keyexpr_drop(ke: *mut OrbzKeyExpr) {
    if !ke.is_null() {
        let _ = catch_unwind(AssertUnwindSafe(|| drop(unsafe { Box::from_raw(ke) })));
    }
}

// ---------------------------------------------------------------------------------------------
// Subscribers.

/// Declares a subscriber whose callback receives every sample's payload bytes.
///
/// `ctx` is released through `drop_cb` once zenoh has released the callback: after the
/// subscriber is undeclared, or at once when the declaration fails.
#[no_mangle]
pub extern "C" fn orbz_declare_subscriber(
    session: *const OrbzSession,
    ke: *const OrbzKeyExpr,
    sample_cb: OrbzSampleCallback,
    drop_cb: OrbzDropCallback,
    ctx: *mut c_void,
    out: *mut *mut OrbzSubscriber,
) -> i8 {
    let context = Context { ctx, drop: drop_cb };
    guarded(move || {
        if session.is_null() || ke.is_null() || out.is_null() {
            return ORBZ_ENULL;
        }
        let session = unsafe { &(*session).0 };
        let ke = unsafe { (*ke).0.clone() };
        let result = session
            .declare_subscriber(ke)
            .callback(move |sample| {
                let context = &context;
                let _ = catch_unwind(AssertUnwindSafe(|| {
                    let bytes = sample.payload().to_bytes();
                    sample_cb(context.ctx, bytes.as_ptr(), bytes.len());
                }));
            })
            .wait();
        match result {
            Ok(sub) => {
                unsafe { *out = Box::into_raw(Box::new(OrbzSubscriber(Some(sub)))) };
                ORBZ_OK
            }
            Err(_) => ORBZ_EGENERIC,
        }
    })
}

/// Undeclares and frees a subscriber.
#[no_mangle]
pub extern "C" fn orbz_subscriber_drop(sub: *mut OrbzSubscriber) {
    if sub.is_null() {
        return;
    }
    let mut sub = unsafe { Box::from_raw(sub) };
    if !runtime_usable() {
        std::mem::forget(sub);
        return;
    }
    let _ = catch_unwind(AssertUnwindSafe(move || {
        if let Some(s) = sub.0.take() {
            let _ = s.undeclare().wait();
        }
    }));
}

// ---------------------------------------------------------------------------------------------
// Queries.

/// Issues a query, as zenoh-c's `z_get` does with: target best-matching, the library's default
/// consolidation, priority data, congestion control block, express off, the payload marked as
/// zenoh-serialized, and `timeout_ms` (0 keeps the session's default query timeout).
///
/// `reply_cb` runs once per reply (`is_ok` false for an error reply, with the error payload).
/// `drop_cb` runs exactly once, after the last reply: when the query has ended for any reason, or
/// at once when it could not be issued.
#[no_mangle]
pub extern "C" fn orbz_get(
    session: *const OrbzSession,
    ke: *const OrbzKeyExpr,
    parameters: *const c_char,
    payload: *const u8,
    payload_len: usize,
    timeout_ms: u64,
    reply_cb: OrbzReplyCallback,
    drop_cb: OrbzDropCallback,
    ctx: *mut c_void,
) -> i8 {
    let context = Context { ctx, drop: drop_cb };
    guarded(move || {
        if session.is_null() || ke.is_null() || (payload.is_null() && payload_len != 0) {
            return ORBZ_ENULL;
        }
        let session = unsafe { &(*session).0 };
        let ke = unsafe { (*ke).0.clone() };
        let params = if parameters.is_null() {
            String::new()
        } else {
            match unsafe { CStr::from_ptr(parameters) }.to_str() {
                Ok(p) => p.to_owned(),
                Err(_) => return ORBZ_EINVAL,
            }
        };
        let bytes = ZBytes::from(bytes_arg(payload, payload_len).to_vec());
        let mut builder = session
            .get((ke, params))
            .payload(bytes)
            .encoding(Encoding::ZENOH_SERIALIZED)
            .target(QueryTarget::BestMatching)
            .priority(Priority::Data)
            .congestion_control(CongestionControl::Block)
            .express(false);
        if timeout_ms != 0 {
            builder = builder.timeout(Duration::from_millis(timeout_ms));
        }
        let result = builder
            .callback(move |reply| {
                let context = &context;
                let _ = catch_unwind(AssertUnwindSafe(|| match reply.result() {
                    Ok(sample) => {
                        let bytes = sample.payload().to_bytes();
                        reply_cb(context.ctx, true, bytes.as_ptr(), bytes.len());
                    }
                    Err(err) => {
                        let bytes = err.payload().to_bytes();
                        reply_cb(context.ctx, false, bytes.as_ptr(), bytes.len());
                    }
                }));
            })
            .wait();
        match result {
            Ok(()) => ORBZ_OK,
            Err(_) => ORBZ_EGENERIC,
        }
    })
}

// ---------------------------------------------------------------------------------------------
// Publication (tests and benchmarks).

/// Publishes one sample with the zenoh-serialized encoding.
#[no_mangle]
pub extern "C" fn orbz_put(
    session: *const OrbzSession,
    ke: *const OrbzKeyExpr,
    payload: *const u8,
    payload_len: usize,
) -> i8 {
    guarded(|| {
        if session.is_null() || ke.is_null() || (payload.is_null() && payload_len != 0) {
            return ORBZ_ENULL;
        }
        let session = unsafe { &(*session).0 };
        let ke = unsafe { (*ke).0.clone() };
        let bytes = ZBytes::from(bytes_arg(payload, payload_len).to_vec());
        match session
            .put(ke, bytes)
            .encoding(Encoding::ZENOH_SERIALIZED)
            .wait()
        {
            Ok(()) => ORBZ_OK,
            Err(_) => ORBZ_EGENERIC,
        }
    })
}
