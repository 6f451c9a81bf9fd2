//! The /kvt/counters channel: about once a second, the stream counters and what each viewer
//! was sent and lost, so that a plot shows when samples went missing and where.

use serde_json::{json, Map, Value};

use crate::viewer_relay::ViewerCounts;
use std::sync::atomic::Ordering;

pub const COUNTERS_TOPIC: &str = "/kvt/counters";
pub const COUNTERS_SCHEMA_NAME: &str = "orbaltkvt.Counters";

/// One stream's counters, as the stream keeps them.
#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct StreamCounters {
    pub received: u64,
    pub delivered: u64,
    pub dropped: u64,
    pub gaps: u64,
    pub malformed: u64,
}

/// What the C side hands over each time: both streams and the samples written.
#[repr(C)]
#[derive(Clone, Copy, Debug, Default)]
pub struct Counters {
    pub basic: StreamCounters,
    pub extra: StreamCounters,
    pub samples_written: u64,
}

const STREAM_KEYS: [(&str, &str); 5] = [
    ("received", "samples that arrived"),
    ("delivered", "samples handed on to be written and served"),
    ("dropped", "samples the full queue dropped, its oldest first"),
    ("gaps", "samples the robot stamped that never arrived"),
    ("malformed", "samples that could not be decoded"),
];
const VIEWER_KEYS: [(&str, &str); 4] = [
    ("id", "1, 2, ... in the order viewers connected"),
    ("subscriptions", "channels subscribed now; 0 once it left"),
    ("sent", "channel messages written to the viewer"),
    ("dropped", "channel messages its full queue dropped, its oldest first"),
];

fn integers(keys: &[(&str, &str)]) -> Value {
    let props: Map<String, Value> = keys
        .iter()
        .map(|(k, d)| (k.to_string(), json!({"type": "integer", "description": d})))
        .collect();
    json!({"type": "object", "properties": props})
}

/// The JSON schema of the messages.
pub fn schema() -> Vec<u8> {
    let stream = integers(&STREAM_KEYS);
    json!({
        "title": COUNTERS_SCHEMA_NAME,
        "type": "object",
        "properties": {
            "timestamp": {"type": "object", "description": "host time",
                          "properties": {"sec": {"type": "integer"}, "nsec": {"type": "integer"}}},
            "basic": stream,
            "extra": stream,
            "samples_written": {"type": "integer",
                                "description": "basic and extra samples handed to the sinks"},
            "viewers_sent": {"type": "integer", "description": "channel messages sent, all viewers"},
            "viewers_dropped": {"type": "integer",
                                "description": "channel messages dropped, all viewers"},
            "viewers": {"type": "array", "items": integers(&VIEWER_KEYS)},
        },
    })
    .to_string()
    .into_bytes()
}

fn stream(c: &StreamCounters) -> Value {
    json!({"received": c.received, "delivered": c.delivered, "dropped": c.dropped,
           "gaps": c.gaps, "malformed": c.malformed})
}

/// One message at host time `now_ns`.
pub fn message(now_ns: u64, c: &Counters, viewers: &[std::sync::Arc<ViewerCounts>]) -> Vec<u8> {
    let (mut sent, mut dropped) = (0u64, 0u64);
    let list: Vec<Value> = viewers
        .iter()
        .map(|v| {
            let (s, d) = (v.sent.load(Ordering::Relaxed), v.dropped.load(Ordering::Relaxed));
            sent += s;
            dropped += d;
            json!({"id": v.id, "subscriptions": v.subscriptions.load(Ordering::Relaxed),
                   "sent": s, "dropped": d})
        })
        .collect();
    json!({
        "timestamp": {"sec": now_ns / 1_000_000_000, "nsec": now_ns % 1_000_000_000},
        "basic": stream(&c.basic),
        "extra": stream(&c.extra),
        "samples_written": c.samples_written,
        "viewers_sent": sent,
        "viewers_dropped": dropped,
        "viewers": list,
    })
    .to_string()
    .into_bytes()
}

#[cfg(test)]
mod tests {
    use super::*;

    #[test]
    fn every_key_of_a_message_is_in_the_schema() {
        let v = std::sync::Arc::new(ViewerCounts { id: 1, ..Default::default() });
        v.sent.store(7, Ordering::Relaxed);
        let mut c = Counters::default();
        c.basic.gaps = 3;
        let m: Value = serde_json::from_slice(&message(1_500_000_000, &c, &[v])).unwrap();
        let s: Value = serde_json::from_slice(&schema()).unwrap();
        assert_eq!(m["timestamp"], json!({"sec": 1, "nsec": 500_000_000}));
        assert_eq!((m["basic"]["gaps"].as_u64(), m["viewers_sent"].as_u64()), (Some(3), Some(7)));
        for (key, value) in m.as_object().unwrap() {
            let p = &s["properties"][key];
            assert!(!p.is_null(), "{key} not in the schema");
            if let Some(inner) = value.as_object() {
                for k in inner.keys() {
                    assert!(!p["properties"][k].is_null(), "{key}.{k} not in the schema");
                }
            }
        }
        for k in m["viewers"][0].as_object().unwrap().keys() {
            assert!(!s["properties"]["viewers"]["items"]["properties"][k].is_null());
        }
    }
}
