//! The C ABI of the recording reader (include/orbaltkvt_recording.h). No panic crosses it:
//! every entry point catches them and reports a format error instead.

mod reader;

use std::ffi::{c_char, CStr};
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::ptr;

use reader::{ReadError, Reader};

pub const OKR_OK: i32 = 0;
pub const OKR_IO: i32 = 1;
pub const OKR_FORMAT: i32 = 2;

/// Where an entry point reports a failure: its kind and a NUL-terminated text.
#[repr(C)]
pub struct OkrError {
    pub code: i32,
    pub text: [c_char; 512],
}

fn report(err: *mut OkrError, code: i32, text: &str) -> i32 {
    if !err.is_null() {
        // SAFETY: the caller hands a valid OkrError or null.
        let err = unsafe { &mut *err };
        err.code = code;
        let bytes = text.as_bytes();
        let n = bytes.len().min(err.text.len() - 1);
        for (d, s) in err.text.iter_mut().zip(&bytes[..n]) {
            *d = *s as c_char;
        }
        err.text[n] = 0;
    }
    code
}

fn guarded<T>(err: *mut OkrError, f: impl FnOnce() -> Result<T, ReadError>) -> Option<T> {
    match catch_unwind(AssertUnwindSafe(f)) {
        Ok(Ok(v)) => Some(v),
        Ok(Err(ReadError::Io(e))) => {
            report(err, OKR_IO, &e.to_string());
            None
        }
        Ok(Err(ReadError::Format(t))) => {
            report(err, OKR_FORMAT, &t);
            None
        }
        Err(_) => {
            report(err, OKR_FORMAT, "the reader failed on a damaged record");
            None
        }
    }
}

#[repr(C)]
pub struct OkrChunk {
    pub message_start_time: i64,
    pub message_end_time: i64,
}

#[repr(C)]
pub struct OkrMessages {
    pub count: usize,
    pub bytes: *const u8,
    pub offsets: *const u64,
    pub log_times: *const i64,
}

/// # Safety
/// `path` and the `topic_count` entries of `topics` are NUL-terminated strings.
#[no_mangle]
pub unsafe extern "C" fn okr_open(
    path: *const c_char,
    topics: *const *const c_char,
    topic_count: usize,
    err: *mut OkrError,
) -> *mut Reader {
    let path = CStr::from_ptr(path).to_string_lossy().into_owned();
    let topics: Vec<String> = (0..topic_count)
        .map(|i| {
            CStr::from_ptr(*topics.add(i))
                .to_string_lossy()
                .into_owned()
        })
        .collect();
    match guarded(err, || Reader::open(&path, &topics)) {
        Some(r) => Box::into_raw(Box::new(r)),
        None => ptr::null_mut(),
    }
}

/// # Safety
/// `r` came from `okr_open` and is not used after.
#[no_mangle]
pub unsafe extern "C" fn okr_close(r: *mut Reader) {
    if !r.is_null() {
        let _ = catch_unwind(AssertUnwindSafe(|| drop(Box::from_raw(r))));
    }
}

#[no_mangle]
pub extern "C" fn okr_metadata_count(r: &Reader) -> usize {
    r.metadata.len()
}

/// Record `record`'s name, and its entry count in `entries`.
#[no_mangle]
pub extern "C" fn okr_metadata_name(
    r: &Reader,
    record: usize,
    name: &mut *const u8,
    name_len: &mut usize,
    entries: &mut usize,
) {
    let (n, kv) = &r.metadata[record];
    *name = n.as_ptr();
    *name_len = n.len();
    *entries = kv.len();
}

#[no_mangle]
pub extern "C" fn okr_metadata_entry(
    r: &Reader,
    record: usize,
    entry: usize,
    key: &mut *const u8,
    key_len: &mut usize,
    value: &mut *const u8,
    value_len: &mut usize,
) {
    let (k, v) = &r.metadata[record].1[entry];
    *key = k.as_ptr();
    *key_len = k.len();
    *value = v.as_ptr();
    *value_len = v.len();
}

/// The `layout` value of the `orbaltkvt` metadata record, {"GROUP": {"start_id": s, "dof": d},
/// ...} in its order; None if the file lacks it or it is not such a value.
fn layout(r: &Reader) -> Option<Vec<(String, u32, u64)>> {
    let (_, entries) = r
        .metadata
        .iter()
        .rev()
        .find(|(name, _)| name == "orbaltkvt")?;
    let (_, text) = entries.iter().find(|(k, _)| k == "layout")?;
    let value: serde_json::Value = serde_json::from_str(text).ok()?;
    let mut out = Vec::new();
    // serde_json keeps the map sorted; the groups' order does not matter to a layout.
    for (name, g) in value.as_object()? {
        let start = u32::try_from(g.get("start_id")?.as_u64()?).ok()?;
        out.push((name.clone(), start, g.get("dof")?.as_u64()?));
    }
    Some(out)
}

/// Groups of the file's joint layout, or -1 if it has none that reads.
#[no_mangle]
pub extern "C" fn okr_layout_count(r: &Reader) -> i64 {
    catch_unwind(AssertUnwindSafe(|| {
        layout(r).map_or(-1, |l| l.len() as i64)
    }))
    .unwrap_or(-1)
}

/// Group `index` of the joint layout: its name (as JointGroup spells it), start_id and dof.
#[no_mangle]
pub extern "C" fn okr_layout_entry(
    r: &Reader,
    index: usize,
    name: &mut [c_char; 32],
    start_id: &mut u32,
    dof: &mut u64,
) -> i32 {
    let Some(Some(l)) = catch_unwind(AssertUnwindSafe(|| layout(r))).ok() else {
        return 0;
    };
    let Some((n, s, d)) = l.get(index) else {
        return 0;
    };
    let bytes = n.as_bytes();
    let len = bytes.len().min(name.len() - 1);
    for (dst, src) in name.iter_mut().zip(&bytes[..len]) {
        *dst = *src as c_char;
    }
    name[len] = 0;
    *start_id = *s;
    *dof = *d;
    1
}

/// 1 if the file has a channel on topic `topic`; `count` gets its messages from the
/// statistics, or -1 without them.
#[no_mangle]
pub extern "C" fn okr_topic(r: &Reader, topic: usize, count: &mut i64) -> i32 {
    *count = r.message_count(topic).map_or(-1, |n| n as i64);
    r.has_topic(topic) as i32
}

#[no_mangle]
pub extern "C" fn okr_chunk_count(r: &Reader) -> usize {
    r.chunks.len()
}

#[no_mangle]
pub extern "C" fn okr_chunk(r: &Reader, chunk: usize, out: &mut OkrChunk) {
    let c = &r.chunks[chunk];
    out.message_start_time = c.message_start_time as i64;
    out.message_end_time = c.message_end_time as i64;
}

/// Messages of `topic` in `chunk` with log time in [start, end); -1 on failure (`err` says).
#[no_mangle]
pub extern "C" fn okr_count(
    r: &mut Reader,
    chunk: usize,
    topic: usize,
    start: i64,
    end: i64,
    err: *mut OkrError,
) -> i64 {
    guarded(err, || r.count(chunk, topic, start, end)).map_or(-1, |n| n as i64)
}

/// Reads chunk `chunk`; `out[k]` (one per topic given at open) points into the reader's
/// buffers, valid until the next call or `okr_close`. Returns OKR_OK or the failure's code.
#[no_mangle]
pub extern "C" fn okr_read_chunk(
    r: &mut Reader,
    chunk: usize,
    out: *mut OkrMessages,
    err: *mut OkrError,
) -> i32 {
    if guarded(err, || r.read_chunk(chunk)).is_none() {
        // SAFETY: err is valid or null; guarded filled it.
        return if err.is_null() {
            OKR_FORMAT
        } else {
            unsafe { (*err).code }
        };
    }
    for (k, m) in r.messages.iter().enumerate() {
        // SAFETY: the caller hands one OkrMessages per topic.
        let o = unsafe { &mut *out.add(k) };
        o.count = m.log_times.len();
        o.bytes = m.bytes.as_ptr();
        o.offsets = m.offsets.as_ptr();
        o.log_times = m.log_times.as_ptr();
    }
    OKR_OK
}
