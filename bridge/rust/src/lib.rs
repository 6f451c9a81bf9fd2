//! The Rust half of the orbaltkvt recorder: the MCAP file(s) through the `mcap` crate and the
//! live WebSocket server through the `foxglove` crate, behind the C ABI of
//! `include/orbaltkvt_bridge.h`. No panic crosses the ABI: every entry point catches it and
//! turns it into OKB_ERR_PANIC.

mod bridge;
mod channels;
mod file_sink;
mod live;

use std::cell::RefCell;
use std::collections::BTreeMap;
use std::ffi::{c_char, CStr};
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::path::PathBuf;
use std::sync::atomic::Ordering;

use bridge::{Bridge, Options, WriteError};
use channels::{GroupActions, GroupStates, Status, StatusTime};
use file_sink::FileOptions;

pub const OKB_OK: i32 = 0;
pub const OKB_SPLIT_DUE: i32 = 1;
pub const OKB_ERR_ARGUMENT: i32 = -1;
pub const OKB_ERR_IO: i32 = -2;
pub const OKB_ERR_SERVER: i32 = -3;
pub const OKB_ERR_FAILED: i32 = -4;
pub const OKB_ERR_PANIC: i32 = -5;

thread_local! {
    static LAST_ERROR: RefCell<String> = const { RefCell::new(String::new()) };
}

fn set_error(message: impl Into<String>) {
    LAST_ERROR.with(|e| *e.borrow_mut() = message.into());
}

/// Runs `f`, turning a panic into OKB_ERR_PANIC with its message as the last error.
fn guard(f: impl FnOnce() -> i32) -> i32 {
    match catch_unwind(AssertUnwindSafe(f)) {
        Ok(code) => code,
        Err(panic) => {
            let text = panic
                .downcast_ref::<&str>()
                .map(|s| s.to_string())
                .or_else(|| panic.downcast_ref::<String>().cloned())
                .unwrap_or_else(|| "unknown panic".into());
            set_error(format!("internal error: {text}"));
            OKB_ERR_PANIC
        }
    }
}

fn write_result(r: Result<bool, WriteError>) -> i32 {
    match r {
        Ok(true) => OKB_SPLIT_DUE,
        Ok(false) => OKB_OK,
        Err(WriteError::Io(message)) => {
            set_error(message);
            OKB_ERR_IO
        }
        Err(WriteError::Failed) => {
            set_error("the recording has ended");
            OKB_ERR_FAILED
        }
    }
}

#[repr(C)]
pub struct OkbKeyValue {
    key: *const c_char,
    value: *const c_char,
}

#[repr(C)]
pub struct OkbOptions {
    mcap_path: *const c_char,
    chunk_duration_ns: u64,
    chunk_size: u64,
    split_size: u64,
    split_duration_ns: u64,
    serve_host: *const c_char,
    serve_port: u16,
    server_name: *const c_char,
    viewer_backlog: u64,
    group_names: *const *const c_char,
    group_count: usize,
    metadata: *const OkbKeyValue,
    metadata_count: usize,
}

#[repr(C)]
pub struct OkbGroupStates {
    group: u32,
    dof: usize,
    q: *const f64,
    dq: *const f64,
    tau: *const f64,
    tcp_pose: *const f64,
    flange_pose: *const f64,
}

#[repr(C)]
pub struct OkbGroupActions {
    group: u32,
    dof: usize,
    q_d: *const f64,
    dq_d: *const f64,
    tau_d: *const f64,
    tcp_pose_d: *const f64,
}

#[repr(C)]
pub struct OkbStatus {
    estop_released: u8,
    enabling_device_on: u8,
    digital_inputs: [u8; 20],
    digital_outputs: [u8; 20],
    safety_inputs: [u8; 8],
    system_state: i32,
    system_state_name: *const c_char,
    safety_board_state: i32,
    safety_board_state_name: *const c_char,
}

#[repr(C)]
pub struct OkbStats {
    messages_written: u64,
    bytes_written: u64,
    files_written: u64,
    messages_served: u64,
    port: u16,
    failed: u8,
}

#[repr(C)]
pub struct OkbViewer {
    client_id: u32,
    subscriptions: u32,
    queued: u64,
}

/// # Safety
/// `p` is NULL or a NUL-terminated string.
unsafe fn opt_str(p: *const c_char) -> Result<Option<String>, String> {
    if p.is_null() {
        return Ok(None);
    }
    CStr::from_ptr(p)
        .to_str()
        .map(|s| Some(s.to_owned()))
        .map_err(|_| "a string argument is not UTF-8".to_string())
}

/// # Safety
/// `items` points to `n` key/value pairs of NUL-terminated strings (or is NULL with n == 0).
unsafe fn key_values(items: *const OkbKeyValue, n: usize) -> Result<BTreeMap<String, String>, String> {
    let mut map = BTreeMap::new();
    if n == 0 {
        return Ok(map);
    }
    if items.is_null() {
        return Err("key/value list is NULL".into());
    }
    for kv in std::slice::from_raw_parts(items, n) {
        let key = opt_str(kv.key)?.ok_or("NULL key")?;
        let value = opt_str(kv.value)?.unwrap_or_default();
        map.insert(key, value);
    }
    Ok(map)
}

/// # Safety
/// `p` points to `n` doubles, or n == 0.
unsafe fn doubles<'a>(p: *const f64, n: usize) -> Result<&'a [f64], String> {
    if n == 0 {
        return Ok(&[]);
    }
    if p.is_null() {
        return Err("a value array is NULL".into());
    }
    Ok(std::slice::from_raw_parts(p, n))
}

/// # Safety
/// `p` points to 7 doubles.
unsafe fn pose<'a>(p: *const f64) -> Result<&'a [f64; 7], String> {
    if p.is_null() {
        return Err("a pose is NULL".into());
    }
    Ok(&*(p as *const [f64; 7]))
}

/// # Safety
/// `p` points to `n` bytes, or n == 0.
unsafe fn bytes<'a>(p: *const u8, n: usize) -> Result<&'a [u8], String> {
    if n == 0 {
        return Ok(&[]);
    }
    if p.is_null() {
        return Err("the payload is NULL".into());
    }
    Ok(std::slice::from_raw_parts(p, n))
}

fn argument_error(message: String) -> i32 {
    set_error(message);
    OKB_ERR_ARGUMENT
}

/// # Safety
/// `options` and `out` are valid pointers; the strings and arrays it names are valid.
#[no_mangle]
pub unsafe extern "C" fn okb_open(options: *const OkbOptions, out: *mut *mut Bridge) -> i32 {
    guard(|| {
        if options.is_null() || out.is_null() {
            return argument_error("okb_open: NULL argument".into());
        }
        let o = &*options;
        let parsed = (|| -> Result<Options, String> {
            let mut groups = Vec::with_capacity(o.group_count);
            if o.group_count > 0 {
                if o.group_names.is_null() {
                    return Err("group names are NULL".into());
                }
                for &name in std::slice::from_raw_parts(o.group_names, o.group_count) {
                    groups.push(opt_str(name)?.ok_or("NULL group name")?);
                }
            }
            let file = opt_str(o.mcap_path)?.map(|path| FileOptions {
                path: PathBuf::from(path),
                chunk_duration_ns: o.chunk_duration_ns,
                chunk_size: if o.chunk_size == 0 { 1 << 20 } else { o.chunk_size },
                split_size: o.split_size,
                split_duration_ns: o.split_duration_ns,
            });
            let serve = opt_str(o.serve_host)?.map(|host| (host, o.serve_port));
            Ok(Options {
                file,
                serve,
                server_name: opt_str(o.server_name)?.unwrap_or_else(|| "orbaltkvt".into()),
                viewer_backlog: o.viewer_backlog as usize,
                groups,
                metadata: key_values(o.metadata, o.metadata_count)?,
            })
        })();
        let options = match parsed {
            Ok(options) => options,
            Err(e) => return argument_error(e),
        };
        match Bridge::open(options) {
            Ok(bridge) => {
                *out = Box::into_raw(Box::new(bridge));
                OKB_OK
            }
            Err((code, message)) => {
                set_error(message);
                code
            }
        }
    })
}

/// # Safety
/// `bridge` comes from okb_open; the arrays are as the header describes.
#[no_mangle]
pub unsafe extern "C" fn okb_write_basic(bridge: *mut Bridge, log_ns: i64, sec: i32, nsec: i32,
                                         groups: *const OkbGroupStates, group_count: usize,
                                         status: *const OkbStatus, payload: *const u8,
                                         payload_size: usize) -> i32 {
    guard(|| {
        if bridge.is_null() || status.is_null() || (group_count > 0 && groups.is_null()) {
            return argument_error("okb_write_basic: NULL argument".into());
        }
        let bridge = &mut *bridge;
        let raw_groups: &[OkbGroupStates] =
            if group_count == 0 { &[] } else { std::slice::from_raw_parts(groups, group_count) };
        let parsed = (|| -> Result<Vec<GroupStates>, String> {
            raw_groups
                .iter()
                .map(|g| {
                    Ok(GroupStates {
                        group: g.group as usize,
                        q: doubles(g.q, g.dof)?,
                        dq: doubles(g.dq, g.dof)?,
                        tau: doubles(g.tau, g.dof)?,
                        tcp_pose: pose(g.tcp_pose)?,
                        flange_pose: pose(g.flange_pose)?,
                    })
                })
                .collect()
        })();
        let group_states = match parsed {
            Ok(g) => g,
            Err(e) => return argument_error(e),
        };
        if let Some(g) = group_states.iter().find(|g| g.group >= bridge.group_count()) {
            return argument_error(format!("okb_write_basic: no group {}", g.group));
        }
        let s = &*status;
        let as_bools = |v: &[u8]| -> Vec<bool> { v.iter().map(|&b| b != 0).collect() };
        let (inputs, outputs, safety) =
            (as_bools(&s.digital_inputs), as_bools(&s.digital_outputs), as_bools(&s.safety_inputs));
        let names = (|| Ok::<_, String>((opt_str(s.system_state_name)?.unwrap_or_default(),
                                        opt_str(s.safety_board_state_name)?.unwrap_or_default())))();
        let (system_name, board_name) = match names {
            Ok(n) => n,
            Err(e) => return argument_error(e),
        };
        let status = Status {
            timestamp: StatusTime { sec: sec as i64, nsec: nsec as i64 },
            estop_released: s.estop_released != 0,
            enabling_device_on: s.enabling_device_on != 0,
            digital_inputs: &inputs,
            digital_outputs: &outputs,
            safety_inputs: &safety,
            system_state: s.system_state,
            system_state_name: &system_name,
            safety_board_state: s.safety_board_state,
            safety_board_state_name: &board_name,
        };
        let payload = match bytes(payload, payload_size) {
            Ok(p) => p,
            Err(e) => return argument_error(e),
        };
        write_result(bridge.write_basic(log_ns.max(0) as u64, (sec, nsec), &group_states, &status,
                                        payload))
    })
}

/// # Safety
/// `bridge` comes from okb_open; the arrays are as the header describes.
#[no_mangle]
pub unsafe extern "C" fn okb_write_extra(bridge: *mut Bridge, log_ns: i64, sec: i32, nsec: i32,
                                         groups: *const OkbGroupActions, group_count: usize,
                                         payload: *const u8, payload_size: usize) -> i32 {
    guard(|| {
        if bridge.is_null() || (group_count > 0 && groups.is_null()) {
            return argument_error("okb_write_extra: NULL argument".into());
        }
        let bridge = &mut *bridge;
        let raw_groups: &[OkbGroupActions] =
            if group_count == 0 { &[] } else { std::slice::from_raw_parts(groups, group_count) };
        let parsed = (|| -> Result<Vec<GroupActions>, String> {
            raw_groups
                .iter()
                .map(|g| {
                    Ok(GroupActions {
                        group: g.group as usize,
                        q_d: doubles(g.q_d, g.dof)?,
                        dq_d: doubles(g.dq_d, g.dof)?,
                        tau_d: doubles(g.tau_d, g.dof)?,
                        tcp_pose_d: pose(g.tcp_pose_d)?,
                    })
                })
                .collect()
        })();
        let group_actions = match parsed {
            Ok(g) => g,
            Err(e) => return argument_error(e),
        };
        if let Some(g) = group_actions.iter().find(|g| g.group >= bridge.group_count()) {
            return argument_error(format!("okb_write_extra: no group {}", g.group));
        }
        let payload = match bytes(payload, payload_size) {
            Ok(p) => p,
            Err(e) => return argument_error(e),
        };
        write_result(bridge.write_extra(log_ns.max(0) as u64, (sec, nsec), &group_actions, payload))
    })
}

/// # Safety
/// `bridge` comes from okb_open.
#[no_mangle]
pub unsafe extern "C" fn okb_tick(bridge: *mut Bridge, now_ns: i64) -> i32 {
    guard(|| {
        if bridge.is_null() {
            return argument_error("okb_tick: NULL bridge".into());
        }
        write_result((*bridge).tick(now_ns.max(0) as u64).map(|()| false))
    })
}

/// # Safety
/// `bridge` comes from okb_open; `counters` as the header describes.
#[no_mangle]
pub unsafe extern "C" fn okb_next_file(bridge: *mut Bridge, counters: *const OkbKeyValue,
                                       counter_count: usize) -> i32 {
    guard(|| {
        if bridge.is_null() {
            return argument_error("okb_next_file: NULL bridge".into());
        }
        match key_values(counters, counter_count) {
            Ok(c) => write_result((*bridge).next_file(c).map(|()| false)),
            Err(e) => argument_error(e),
        }
    })
}

/// # Safety
/// `bridge` comes from okb_open; `counters` as the header describes.
#[no_mangle]
pub unsafe extern "C" fn okb_close(bridge: *mut Bridge, counters: *const OkbKeyValue,
                                   counter_count: usize) -> i32 {
    guard(|| {
        if bridge.is_null() {
            return argument_error("okb_close: NULL bridge".into());
        }
        match key_values(counters, counter_count) {
            Ok(c) => write_result((*bridge).close(c).map(|()| false)),
            Err(e) => argument_error(e),
        }
    })
}

/// # Safety
/// `bridge` comes from okb_open; `out` is valid.
#[no_mangle]
pub unsafe extern "C" fn okb_stats_get(bridge: *const Bridge, out: *mut OkbStats) {
    guard(|| {
        if bridge.is_null() || out.is_null() {
            return OKB_ERR_ARGUMENT;
        }
        let b = &*bridge;
        let s = &b.shared;
        *out = OkbStats {
            messages_written: s.messages_written.load(Ordering::Relaxed),
            bytes_written: s.bytes_written.load(Ordering::Relaxed),
            files_written: s.files_written.load(Ordering::Relaxed),
            messages_served: b.messages_served(),
            port: b.port(),
            failed: s.failed.load(Ordering::Acquire) as u8,
        };
        OKB_OK
    });
}

fn copy_text(text: &str, buf: *mut c_char, size: usize) -> usize {
    if !buf.is_null() && size > 0 {
        let n = text.len().min(size - 1);
        // SAFETY: the caller gives `size` writable bytes at `buf`.
        unsafe {
            std::ptr::copy_nonoverlapping(text.as_ptr(), buf as *mut u8, n);
            *buf.add(n) = 0;
        }
    }
    text.len()
}

/// # Safety
/// `bridge` comes from okb_open; `buf` holds `size` bytes.
#[no_mangle]
pub unsafe extern "C" fn okb_stats_error(bridge: *const Bridge, buf: *mut c_char, size: usize)
                                         -> usize {
    let mut n = 0;
    guard(|| {
        if bridge.is_null() {
            return OKB_ERR_ARGUMENT;
        }
        let text = (*bridge).shared.error.lock().unwrap_or_else(|e| e.into_inner()).clone();
        n = copy_text(&text, buf, size);
        OKB_OK
    });
    n
}

/// # Safety
/// `bridge` comes from okb_open; `out` holds `capacity` entries.
#[no_mangle]
pub unsafe extern "C" fn okb_viewers(bridge: *const Bridge, out: *mut OkbViewer, capacity: usize)
                                     -> usize {
    let mut n = 0;
    guard(|| {
        if bridge.is_null() {
            return OKB_ERR_ARGUMENT;
        }
        let viewers = (*bridge).viewers();
        n = viewers.len();
        if !out.is_null() {
            for (i, (id, v)) in viewers.iter().take(capacity).enumerate() {
                *out.add(i) = OkbViewer {
                    client_id: *id,
                    subscriptions: v.channels.len() as u32,
                    queued: v.queued,
                };
            }
        }
        OKB_OK
    });
    n
}

/// # Safety
/// `bridge` comes from okb_open and is not used afterwards, or is NULL.
#[no_mangle]
pub unsafe extern "C" fn okb_free(bridge: *mut Bridge) {
    if bridge.is_null() {
        return;
    }
    guard(|| {
        let mut b = Box::from_raw(bridge);
        let _ = b.close(BTreeMap::new());
        drop(b);
        OKB_OK
    });
}

/// # Safety
/// `buf` holds `size` bytes.
#[no_mangle]
pub unsafe extern "C" fn okb_last_error(buf: *mut c_char, size: usize) -> usize {
    LAST_ERROR.with(|e| copy_text(&e.borrow(), buf, size))
}
