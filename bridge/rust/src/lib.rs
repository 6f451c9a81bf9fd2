//! The Rust half of the orbaltkvt recorder: the MCAP file(s) through the `mcap` crate and the
//! live WebSocket server through the `foxglove` crate, behind the C ABI of
//! `include/orbaltkvt_bridge.h`. No panic crosses the ABI: every entry point catches it and
//! turns it into OKB_ERR_PANIC.

mod bridge;
mod channels;
mod counters;
mod file_sink;
mod live;
mod status;
mod viewer_relay;

use std::cell::RefCell;
use std::collections::BTreeMap;
use std::ffi::{c_char, c_void, CStr};
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::path::PathBuf;
use std::sync::atomic::Ordering;

use bridge::{Bridge, Options, WriteError};
use channels::{GroupActions, GroupStates};
use file_sink::FileOptions;
use status::{FieldType, StatusField, StatusFields, StatusRow};

pub const OKB_OK: i32 = 0;
pub const OKB_SPLIT_DUE: i32 = 1;
pub const OKB_ERR_ARGUMENT: i32 = -1;
pub const OKB_ERR_IO: i32 = -2;
pub const OKB_ERR_SERVER: i32 = -3;
pub const OKB_ERR_FAILED: i32 = -4;
pub const OKB_ERR_PANIC: i32 = -5;
pub const OKB_MAX_GROUPS: usize = 8;
pub const OKB_FIELD_BOOL: u32 = 0;
pub const OKB_FIELD_INT32: u32 = 1;

/// Most named status fields a sample may carry; their names are read onto the stack.
const MAX_NAMED: usize = 8;

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
    status_fields: *const OkbStatusField,
    status_field_count: usize,
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
pub struct OkbStatusField {
    name: *const c_char,
    kind: u32,
    width: usize,
    meaning: *const c_char,
    named: u8,
}

#[repr(C)]
pub struct OkbStatus {
    values: *const *const c_void,
    names: *const *const c_char,
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
    sent: u64,
    dropped: u64,
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

/// # Safety
/// `items` points to `n` field descriptors (or is NULL with n == 0).
unsafe fn status_fields(items: *const OkbStatusField, n: usize) -> Result<StatusFields, String> {
    if n > 0 && items.is_null() {
        return Err("status fields are NULL".into());
    }
    let raw: &[OkbStatusField] = if n == 0 { &[] } else { std::slice::from_raw_parts(items, n) };
    let mut fields = Vec::with_capacity(n);
    for f in raw {
        let name = opt_str(f.name)?.ok_or("NULL status field name")?;
        let kind = match f.kind {
            OKB_FIELD_BOOL => FieldType::Bool,
            OKB_FIELD_INT32 => FieldType::Int32,
            other => return Err(format!("status field {name} has unknown type {other}")),
        };
        fields.push(StatusField {
            name,
            kind,
            width: f.width,
            meaning: opt_str(f.meaning)?.unwrap_or_default(),
            named: f.named != 0,
        });
    }
    let fields = StatusFields::new(fields)?;
    if fields.named() > MAX_NAMED {
        return Err(format!("{} named status fields; at most {MAX_NAMED}", fields.named()));
    }
    Ok(fields)
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
            if o.group_count == 0 || o.group_count > OKB_MAX_GROUPS {
                return Err(format!("{} joint groups given; a recording takes 1 to {OKB_MAX_GROUPS}",
                                   o.group_count));
            }
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
                status: status_fields(o.status_fields, o.status_field_count)?,
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
        if let Some(g) = group_states.iter().find(|g| g.group >= bridge.channels().group_count()) {
            return argument_error(format!("okb_write_basic: no group {}", g.group));
        }
        let s = &*status;
        let fields = bridge.status_fields().clone();
        let values: &[*const c_void] = match fields.fields().len() {
            0 => &[],
            _ if s.values.is_null() => return argument_error("status values are NULL".into()),
            n => std::slice::from_raw_parts(s.values, n),
        };
        let mut names = [""; MAX_NAMED];
        let named = fields.named();
        if named > 0 && s.names.is_null() {
            return argument_error("status names are NULL".into());
        }
        for (i, name) in names.iter_mut().take(named).enumerate() {
            match status::state_name(*s.names.add(i)) {
                Ok(n) => *name = n,
                Err(e) => return argument_error(e),
            }
        }
        let status = match StatusRow::new(&fields, (sec, nsec), values, &names[..named]) {
            Ok(row) => row,
            Err(e) => return argument_error(e),
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
        if let Some(g) = group_actions.iter().find(|g| g.group >= bridge.channels().group_count()) {
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
/// `bridge` comes from okb_open; `name` is a NUL-terminated string; `items` as the header
/// describes.
#[no_mangle]
pub unsafe extern "C" fn okb_write_metadata(bridge: *mut Bridge, name: *const c_char,
                                            items: *const OkbKeyValue, count: usize) -> i32 {
    guard(|| {
        if bridge.is_null() {
            return argument_error("okb_write_metadata: NULL bridge".into());
        }
        let name = match opt_str(name) {
            Ok(Some(n)) => n,
            Ok(None) => return argument_error("okb_write_metadata: NULL name".into()),
            Err(e) => return argument_error(e),
        };
        match key_values(items, count) {
            Ok(m) => write_result((*bridge).write_metadata(&name, m).map(|()| false)),
            Err(e) => argument_error(e),
        }
    })
}

/// # Safety
/// `bridge` comes from okb_open; `counters` is valid.
#[no_mangle]
pub unsafe extern "C" fn okb_write_counters(bridge: *mut Bridge, now_ns: u64,
                                            counters: *const counters::Counters) -> i32 {
    guard(|| {
        if bridge.is_null() || counters.is_null() {
            return argument_error("okb_write_counters: NULL argument".into());
        }
        write_result((*bridge).write_counters(now_ns, &*counters).map(|()| false))
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
            for (i, v) in viewers.iter().take(capacity).enumerate() {
                *out.add(i) = OkbViewer {
                    client_id: v.id,
                    subscriptions: v.subscriptions.load(Ordering::Relaxed),
                    queued: v.queued.load(Ordering::Relaxed),
                    sent: v.sent.load(Ordering::Relaxed),
                    dropped: v.dropped.load(Ordering::Relaxed),
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

#[cfg(test)]
mod tests {
    use super::*;
    use crate::file_sink::tests::scratch;
    use crate::status::tests::Header;
    use std::ffi::CString;

    fn last_error() -> String {
        let mut buf = [0 as c_char; 256];
        unsafe { okb_last_error(buf.as_mut_ptr(), buf.len()) };
        unsafe { CStr::from_ptr(buf.as_ptr()) }.to_str().unwrap().to_owned()
    }

    struct Fields {
        _names: Vec<CString>,
        raw: Vec<OkbStatusField>,
    }

    fn status_fields() -> Fields {
        let table = [("estop_released", OKB_FIELD_BOOL, 1, 0),
                     ("enabling_device_on", OKB_FIELD_BOOL, 1, 0),
                     ("digital_inputs", OKB_FIELD_BOOL, 20, 0),
                     ("digital_outputs", OKB_FIELD_BOOL, 20, 0),
                     ("safety_inputs", OKB_FIELD_BOOL, 8, 0),
                     ("system_state", OKB_FIELD_INT32, 1, 1),
                     ("safety_board_state", OKB_FIELD_INT32, 1, 1)];
        let names: Vec<CString> = table.iter().map(|t| CString::new(t.0).unwrap()).collect();
        let raw = table.iter().zip(&names)
            .map(|(t, n)| OkbStatusField { name: n.as_ptr(), kind: t.1, width: t.2,
                                           meaning: c"a field".as_ptr(), named: t.3 })
            .collect();
        Fields { _names: names, raw }
    }

    fn open(path: Option<&CString>, groups: &[*const c_char], fields: &Fields)
            -> Result<*mut Bridge, (i32, String)> {
        let options = OkbOptions {
            mcap_path: path.map_or(std::ptr::null(), |p| p.as_ptr()),
            chunk_duration_ns: 0, chunk_size: 0, split_size: 0, split_duration_ns: 0,
            serve_host: std::ptr::null(), serve_port: 0, server_name: std::ptr::null(),
            viewer_backlog: 0, group_names: groups.as_ptr(), group_count: groups.len(),
            status_fields: fields.raw.as_ptr(), status_field_count: fields.raw.len(),
            metadata: std::ptr::null(), metadata_count: 0,
        };
        let mut bridge = std::ptr::null_mut();
        match unsafe { okb_open(&options, &mut bridge) } {
            OKB_OK => Ok(bridge),
            code => Err((code, last_error())),
        }
    }

    #[test]
    fn the_group_limit_is_the_abi_s_and_says_so() {
        let fields = status_fields();
        let name = c"ARM_1".as_ptr();
        for n in [0, OKB_MAX_GROUPS + 1] {
            let groups = vec![name; n];
            assert_eq!(open(None, &groups, &fields).unwrap_err(),
                       (OKB_ERR_ARGUMENT,
                        format!("{n} joint groups given; a recording takes 1 to 8")));
        }
        let bridge = open(None, &vec![name; OKB_MAX_GROUPS], &fields).unwrap();
        unsafe { okb_free(bridge) };
    }

    /// One basic and one extra sample through the C ABI into a file, read back: every channel
    /// of the registry gets its message, /status as the field table says.
    #[test]
    fn a_sample_reaches_every_channel_of_the_file() {
        let dir = scratch("abi");
        let path = CString::new(dir.join("abi.mcap").to_str().unwrap()).unwrap();
        let fields = status_fields();
        let groups = [c"ARM_1".as_ptr(), c"ARM_2".as_ptr()];
        let bridge = open(Some(&path), &groups, &fields).unwrap();

        let q = [0.5f64; 7];
        let pose = [1.0, 2.0, 3.0, 1.0, 0.0, 0.0, 0.0];
        let states: Vec<OkbGroupStates> = (0..2u32)
            .map(|g| OkbGroupStates { group: g, dof: 7, q: q.as_ptr(), dq: q.as_ptr(),
                                      tau: q.as_ptr(), tcp_pose: pose.as_ptr(),
                                      flange_pose: pose.as_ptr() })
            .collect();
        let header = Header::sample();
        let values = header.values();
        let names = [c"WORKING".as_ptr(), std::ptr::null()];
        let status = OkbStatus { values: values.as_ptr(), names: names.as_ptr() };
        let payload = [1u8, 2, 3];
        let code = unsafe {
            okb_write_basic(bridge, 2_000, 1, 500, states.as_ptr(), 2, &status, payload.as_ptr(),
                            payload.len())
        };
        assert_eq!(code, OKB_OK, "{}", last_error());
        let actions = [OkbGroupActions { group: 1, dof: 7, q_d: q.as_ptr(), dq_d: q.as_ptr(),
                                         tau_d: q.as_ptr(), tcp_pose_d: pose.as_ptr() }];
        let code = unsafe { okb_write_extra(bridge, 2_001, 1, 500, actions.as_ptr(), 1,
                                            payload.as_ptr(), payload.len()) };
        assert_eq!(code, OKB_OK, "{}", last_error());
        // A group the bridge was not opened with is refused, and the sample with it.
        let stray = [OkbGroupActions { group: 2, ..actions[0] }];
        let code = unsafe { okb_write_extra(bridge, 2_002, 1, 500, stray.as_ptr(), 1,
                                            payload.as_ptr(), payload.len()) };
        assert_eq!((code, last_error().as_str()),
                   (OKB_ERR_ARGUMENT, "okb_write_extra: no group 2"));
        assert_eq!(unsafe { okb_close(bridge, std::ptr::null(), 0) }, OKB_OK);
        let mut stats = OkbStats { messages_written: 0, bytes_written: 0, files_written: 0,
                                   messages_served: 0, port: 0, failed: 0 };
        unsafe { okb_stats_get(bridge, &mut stats) };
        unsafe { okb_free(bridge) };

        let bytes = std::fs::read(dir.join("abi.mcap")).unwrap();
        let mut got = BTreeMap::new();
        for m in mcap::MessageStream::new(&bytes).unwrap() {
            let m = m.unwrap();
            assert_eq!(m.publish_time, 1_000_000_500);
            got.insert(m.channel.topic.clone(), (m.log_time, m.data.into_owned()));
        }
        let topics: Vec<&str> = got.keys().map(|t| t.as_str()).collect();
        assert_eq!(topics, ["/ARM_1/joint_states", "/ARM_2/joint_states",
                            "/ARM_2/joint_states_desired", "/raw/basic_stream_data",
                            "/raw/extra_stream_data", "/status", "/tf", "/tf_desired"]);
        assert_eq!(got["/raw/extra_stream_data"], (2_001, payload.to_vec()));
        let status: serde_json::Value = serde_json::from_slice(&got["/status"].1).unwrap();
        assert_eq!(status["timestamp"], serde_json::json!({"sec": 1, "nsec": 500}));
        assert_eq!((&status["system_state_name"], &status["safety_board_state_name"]),
                   (&serde_json::json!("WORKING"), &serde_json::json!("")));
        assert_eq!(status["safety_board_state"], -1);
        assert_eq!((stats.messages_written, stats.files_written, stats.failed), (8, 1, 0));
        assert_eq!(stats.bytes_written, bytes.len() as u64);
    }
}
