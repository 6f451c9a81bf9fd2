//! The /status channel, made from the status field table the caller hands over: its JSON
//! schema and each sample's JSON message, keys in table order.

use std::ffi::{c_char, c_void, CStr};

use serde::ser::{SerializeMap, Serializer};
use serde::Serialize;
use serde_json::{json, Map, Value};

pub const STATUS_SCHEMA_NAME: &str = "orbaltkvt.Status";

#[derive(Clone, Copy, Debug, PartialEq, Eq)]
pub enum FieldType {
    Bool,
    Int32,
}

/// One field of the status header, as the table declares it.
#[derive(Clone, Debug)]
pub struct StatusField {
    pub name: String,
    pub kind: FieldType,
    /// Values per sample: 1 is a single value, more an array.
    pub width: usize,
    pub meaning: String,
    /// A code whose name comes with each sample, written as "<name>_name" right after it.
    pub named: bool,
}

impl StatusField {
    fn name_key(&self) -> String {
        format!("{}_name", self.name)
    }
}

/// The fields of the /status messages, and the keys made from them once.
#[derive(Clone, Debug, Default)]
pub struct StatusFields {
    fields: Vec<StatusField>,
    name_keys: Vec<Option<String>>,
    named: usize,
}

impl StatusFields {
    pub fn new(fields: Vec<StatusField>) -> Result<Self, String> {
        let mut keys = std::collections::BTreeSet::from(["timestamp".to_string()]);
        for f in &fields {
            if f.width == 0 {
                return Err(format!("status field {} has width 0", f.name));
            }
            if f.named && (f.kind != FieldType::Int32 || f.width != 1) {
                return Err(format!("status field {} has a name but is not a single code", f.name));
            }
            let mut own = vec![f.name.clone()];
            if f.named {
                own.push(f.name_key());
            }
            for key in own {
                if !keys.insert(key.clone()) {
                    return Err(format!("status field {key} is declared twice"));
                }
            }
        }
        Ok(StatusFields {
            name_keys: fields.iter().map(|f| f.named.then(|| f.name_key())).collect(),
            named: fields.iter().filter(|f| f.named).count(),
            fields,
        })
    }

    pub fn fields(&self) -> &[StatusField] {
        &self.fields
    }

    /// How many fields carry a name with each sample.
    pub fn named(&self) -> usize {
        self.named
    }

    /// The JSON schema of the messages: "timestamp" {sec, nsec} and every field, each code's
    /// name beside it.
    pub fn schema(&self) -> Vec<u8> {
        let mut properties = Map::new();
        properties.insert("timestamp".into(), json!({"type": "object", "properties": {
            "sec": {"type": "integer"}, "nsec": {"type": "integer"}}}));
        for (f, name_key) in self.fields.iter().zip(&self.name_keys) {
            let item = match f.kind {
                FieldType::Bool => json!({"type": "boolean"}),
                FieldType::Int32 => json!({"type": "integer"}),
            };
            let value = if f.width == 1 { item } else { json!({"type": "array", "items": item}) };
            properties.insert(f.name.clone(), value);
            if let Some(key) = name_key {
                properties.insert(key.clone(), json!({"type": "string"}));
            }
        }
        serde_json::to_vec(&json!({
            "title": STATUS_SCHEMA_NAME,
            "type": "object",
            "properties": Value::Object(properties),
        }))
        .expect("a JSON value serialises")
    }
}

/// One sample's status: per field its values (`width` bytes 0/1 for a bool field, `width`
/// int32 for a code), per named field its code's name.
pub struct StatusRow<'a> {
    fields: &'a StatusFields,
    sec: i64,
    nsec: i64,
    values: &'a [*const c_void],
    names: &'a [&'a str],
}

impl<'a> StatusRow<'a> {
    /// # Safety
    /// `values` holds one pointer per field of `fields`, each to `width` values of the field's
    /// type, valid for `'a`.
    pub unsafe fn new(fields: &'a StatusFields, stamp: (i32, i32), values: &'a [*const c_void],
                      names: &'a [&'a str]) -> Result<Self, String> {
        if values.len() != fields.fields.len() || names.len() != fields.named {
            return Err(format!("a status row has {} values and {} names; the table has {} and {}",
                               values.len(), names.len(), fields.fields.len(), fields.named));
        }
        if values.iter().any(|v| v.is_null()) {
            return Err("a status value is NULL".into());
        }
        Ok(StatusRow { fields, sec: stamp.0 as i64, nsec: stamp.1 as i64, values, names })
    }
}

/// # Safety
/// `p` is NULL or a NUL-terminated string valid for `'a`.
pub unsafe fn state_name<'a>(p: *const c_char) -> Result<&'a str, String> {
    if p.is_null() {
        return Ok("");
    }
    CStr::from_ptr(p).to_str().map_err(|_| "a state name is not UTF-8".to_string())
}

#[derive(Serialize)]
struct Stamp {
    sec: i64,
    nsec: i64,
}

struct Bools<'a>(&'a [u8]);

impl Serialize for Bools<'_> {
    fn serialize<S: Serializer>(&self, s: S) -> Result<S::Ok, S::Error> {
        s.collect_seq(self.0.iter().map(|&b| b != 0))
    }
}

impl Serialize for StatusRow<'_> {
    fn serialize<S: Serializer>(&self, s: S) -> Result<S::Ok, S::Error> {
        let fields = &self.fields.fields;
        let mut map = s.serialize_map(Some(1 + fields.len() + self.names.len()))?;
        map.serialize_entry("timestamp", &Stamp { sec: self.sec, nsec: self.nsec })?;
        let mut names = self.names.iter();
        for ((f, name_key), &p) in fields.iter().zip(&self.fields.name_keys).zip(self.values) {
            // SAFETY: `new`'s contract: `width` values of the field's type at `p`.
            match f.kind {
                FieldType::Bool => {
                    let v = unsafe { std::slice::from_raw_parts(p as *const u8, f.width) };
                    if f.width == 1 {
                        map.serialize_entry(&f.name, &(v[0] != 0))?;
                    } else {
                        map.serialize_entry(&f.name, &Bools(v))?;
                    }
                }
                FieldType::Int32 => {
                    let v = unsafe { std::slice::from_raw_parts(p as *const i32, f.width) };
                    if f.width == 1 {
                        map.serialize_entry(&f.name, &v[0])?;
                    } else {
                        map.serialize_entry(&f.name, v)?;
                    }
                }
            }
            if let Some(key) = name_key {
                map.serialize_entry(key, names.next().copied().unwrap_or(""))?;
            }
        }
        map.end()
    }
}

#[cfg(test)]
pub mod tests {
    use super::*;

    /// The status header the C++ side declares (record_fields.hpp), as it hands it over.
    pub fn header_fields() -> StatusFields {
        let f = |name: &str, kind, width, named| StatusField {
            name: name.into(), kind, width, meaning: format!("the {name}"), named };
        StatusFields::new(vec![
            f("estop_released", FieldType::Bool, 1, false),
            f("enabling_device_on", FieldType::Bool, 1, false),
            f("digital_inputs", FieldType::Bool, 20, false),
            f("digital_outputs", FieldType::Bool, 20, false),
            f("safety_inputs", FieldType::Bool, 8, false),
            f("system_state", FieldType::Int32, 1, true),
            f("safety_board_state", FieldType::Int32, 1, true),
        ])
        .unwrap()
    }

    /// The schema as it was written by hand before the table existed: recordings made since
    /// then must carry the same bytes.
    fn hand_written_schema() -> Vec<u8> {
        let bools = json!({"type": "array", "items": {"type": "boolean"}});
        serde_json::to_vec(&json!({
            "title": STATUS_SCHEMA_NAME,
            "type": "object",
            "properties": {
                "timestamp": {"type": "object", "properties": {
                    "sec": {"type": "integer"}, "nsec": {"type": "integer"}}},
                "estop_released": {"type": "boolean"},
                "enabling_device_on": {"type": "boolean"},
                "digital_inputs": bools,
                "digital_outputs": bools,
                "safety_inputs": bools,
                "system_state": {"type": "integer"},
                "system_state_name": {"type": "string"},
                "safety_board_state": {"type": "integer"},
                "safety_board_state_name": {"type": "string"},
            },
        }))
        .unwrap()
    }

    pub struct Header {
        pub estop: u8,
        pub enabling: u8,
        pub inputs: [u8; 20],
        pub outputs: [u8; 20],
        pub safety: [u8; 8],
        pub system: i32,
        pub board: i32,
    }

    impl Header {
        pub fn sample() -> Self {
            let mut inputs = [0u8; 20];
            inputs[3] = 1;
            let mut outputs = [0u8; 20];
            outputs[19] = 1;
            Header { estop: 1, enabling: 0, inputs, outputs, safety: [1; 8], system: 7,
                     board: -1 }
        }
        pub fn values(&self) -> [*const c_void; 7] {
            [&self.estop as *const u8 as _, &self.enabling as *const u8 as _,
             self.inputs.as_ptr() as _, self.outputs.as_ptr() as _, self.safety.as_ptr() as _,
             &self.system as *const i32 as _, &self.board as *const i32 as _]
        }
    }

    #[test]
    fn schema_and_message_are_those_of_the_hand_written_status() {
        let fields = header_fields();
        assert_eq!(String::from_utf8(fields.schema()).unwrap(),
                   String::from_utf8(hand_written_schema()).unwrap());

        let h = Header::sample();
        let values = h.values();
        let names = ["WORKING_AUTO", "UNKNOWN"];
        let row = unsafe { StatusRow::new(&fields, (12, 345), &values, &names) }.unwrap();
        let text = serde_json::to_string(&row).unwrap();
        let mut inputs = vec![false; 20];
        inputs[3] = true;
        let mut outputs = vec![false; 20];
        outputs[19] = true;
        // Key order, value types and values as the serde struct of the hand-written status
        // gave them.
        let expected = format!(
            concat!(r#"{{"timestamp":{{"sec":12,"nsec":345}},"estop_released":true,"#,
                    r#""enabling_device_on":false,"digital_inputs":{},"digital_outputs":{},"#,
                    r#""safety_inputs":{},"system_state":7,"system_state_name":"WORKING_AUTO","#,
                    r#""safety_board_state":-1,"safety_board_state_name":"UNKNOWN"}}"#),
            serde_json::to_string(&inputs).unwrap(), serde_json::to_string(&outputs).unwrap(),
            serde_json::to_string(&[true; 8]).unwrap());
        assert_eq!(text, expected);

        // The message validates against the schema: every key is a property of its type.
        let schema: Value = serde_json::from_slice(&fields.schema()).unwrap();
        let message: Value = serde_json::from_str(&text).unwrap();
        let properties = schema["properties"].as_object().unwrap();
        let message = message.as_object().unwrap();
        assert_eq!(message.keys().collect::<std::collections::BTreeSet<_>>(),
                   properties.keys().collect());
        for (key, value) in message {
            let kind = |v: &Value| match v {
                Value::Bool(_) => "boolean",
                Value::Number(_) => "integer",
                Value::String(_) => "string",
                Value::Array(_) => "array",
                Value::Object(_) => "object",
                Value::Null => "null",
            };
            assert_eq!(kind(value), properties[key]["type"], "{key}");
            if let Value::Array(items) = value {
                assert!(items.iter().all(|i| kind(i) == properties[key]["items"]["type"]), "{key}");
            }
        }
    }

    #[test]
    fn a_table_that_cannot_make_a_message_is_refused() {
        let f = |name: &str, kind, width, named| StatusField {
            name: name.into(), kind, width, meaning: String::new(), named };
        for (fields, error) in [
            (vec![f("a", FieldType::Bool, 0, false)], "status field a has width 0"),
            (vec![f("a", FieldType::Bool, 1, true)],
             "status field a has a name but is not a single code"),
            (vec![f("a", FieldType::Int32, 2, true)],
             "status field a has a name but is not a single code"),
            (vec![f("a", FieldType::Int32, 1, true), f("a_name", FieldType::Bool, 1, false)],
             "status field a_name is declared twice"),
            (vec![f("timestamp", FieldType::Int32, 1, false)],
             "status field timestamp is declared twice"),
        ] {
            assert_eq!(StatusFields::new(fields).unwrap_err(), error);
        }
        let fields = header_fields();
        let h = Header::sample();
        let values = h.values();
        let error = unsafe { StatusRow::new(&fields, (0, 0), &values[..6], &["", ""]) };
        assert!(error.is_err());
    }
}
