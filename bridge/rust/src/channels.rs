//! The channels the recorder writes, and the encoding of one sample into their messages.

use foxglove::schemas::{FrameTransform, FrameTransforms, JointState, JointStates, Quaternion,
                        Timestamp, Vector3};
use foxglove::Encode;
use serde::Serialize;

pub const WORLD: &str = "world";
pub const RAW_ENCODING: &str = "zenoh-ext";
pub const STATUS_SCHEMA_NAME: &str = "orbaltkvt.Status";

/// What a channel is: its topic, message encoding and schema (name, encoding, data).
#[derive(Clone, Debug)]
pub struct ChannelSpec {
    pub topic: String,
    pub message_encoding: String,
    pub schema: Option<(String, String, Vec<u8>)>,
}

/// Index of each channel in the list `channel_specs` returns.
#[derive(Clone, Copy, Debug)]
pub struct ChannelIds {
    pub groups: usize,
}

impl ChannelIds {
    pub fn joint_states(self, group: usize) -> usize {
        2 * group
    }
    pub fn joint_states_desired(self, group: usize) -> usize {
        2 * group + 1
    }
    pub fn tf(self) -> usize {
        2 * self.groups
    }
    pub fn tf_desired(self) -> usize {
        2 * self.groups + 1
    }
    pub fn status(self) -> usize {
        2 * self.groups + 2
    }
    pub fn raw_basic(self) -> usize {
        2 * self.groups + 3
    }
    pub fn raw_extra(self) -> usize {
        2 * self.groups + 4
    }
}

fn status_schema() -> Vec<u8> {
    let bools = serde_json::json!({"type": "array", "items": {"type": "boolean"}});
    serde_json::to_vec(&serde_json::json!({
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
    .expect("a JSON value serialises")
}

fn protobuf<T: Encode>(topic: String) -> ChannelSpec {
    let schema = T::get_schema().expect("foxglove schemas carry a schema");
    ChannelSpec {
        topic,
        message_encoding: T::get_message_encoding(),
        schema: Some((schema.name, schema.encoding, schema.data.into_owned())),
    }
}

/// Every channel for these joint groups, in the order of `ChannelIds`.
pub fn channel_specs(groups: &[String]) -> Vec<ChannelSpec> {
    let mut specs = Vec::new();
    for g in groups {
        specs.push(protobuf::<JointStates>(format!("/{g}/joint_states")));
        specs.push(protobuf::<JointStates>(format!("/{g}/joint_states_desired")));
    }
    specs.push(protobuf::<FrameTransforms>("/tf".into()));
    specs.push(protobuf::<FrameTransforms>("/tf_desired".into()));
    specs.push(ChannelSpec {
        topic: "/status".into(),
        message_encoding: "json".into(),
        schema: Some((STATUS_SCHEMA_NAME.into(), "jsonschema".into(), status_schema())),
    });
    for raw in ["/raw/basic_stream_data", "/raw/extra_stream_data"] {
        specs.push(ChannelSpec {
            topic: raw.into(),
            message_encoding: RAW_ENCODING.into(),
            schema: None,
        });
    }
    specs
}

/// The values of one joint group in a basic sample.
pub struct GroupStates<'a> {
    pub group: usize,
    pub q: &'a [f64],
    pub dq: &'a [f64],
    pub tau: &'a [f64],
    pub tcp_pose: &'a [f64; 7],
    pub flange_pose: &'a [f64; 7],
}

/// The values of one joint group in an extra sample.
pub struct GroupActions<'a> {
    pub group: usize,
    pub q_d: &'a [f64],
    pub dq_d: &'a [f64],
    pub tau_d: &'a [f64],
    pub tcp_pose_d: &'a [f64; 7],
}

#[derive(Serialize)]
pub struct StatusTime {
    pub sec: i64,
    pub nsec: i64,
}

#[derive(Serialize)]
pub struct Status<'a> {
    pub timestamp: StatusTime,
    pub estop_released: bool,
    pub enabling_device_on: bool,
    pub digital_inputs: &'a [bool],
    pub digital_outputs: &'a [bool],
    pub safety_inputs: &'a [bool],
    pub system_state: i32,
    pub system_state_name: &'a str,
    pub safety_board_state: i32,
    pub safety_board_state_name: &'a str,
}

/// A robot timestamp as a protobuf Timestamp; negative parts (never sent by a robot) become 0.
pub fn timestamp(sec: i32, nsec: i32) -> Timestamp {
    Timestamp::new(sec.max(0) as u32, nsec.clamp(0, 999_999_999) as u32)
}

/// Encodes messages, keeping one message of each kind per group so that joint names and frame
/// ids are built once and the buffers are reused.
pub struct Encoder {
    names: Vec<String>,
    joint_states: Vec<JointStates>,
    tf: FrameTransforms,
    tf_desired: FrameTransforms,
    pub buf: Vec<u8>,
}

fn transform(child: String) -> FrameTransform {
    FrameTransform {
        timestamp: None,
        parent_frame_id: WORLD.into(),
        child_frame_id: child,
        translation: Some(Vector3::default()),
        rotation: Some(Quaternion::default()),
    }
}

fn set_pose(t: &mut FrameTransform, stamp: Timestamp, pose: &[f64; 7]) {
    t.timestamp = Some(stamp);
    t.translation = Some(Vector3 { x: pose[0], y: pose[1], z: pose[2] });
    t.rotation = Some(Quaternion { x: pose[4], y: pose[5], z: pose[6], w: pose[3] });
}

impl Encoder {
    pub fn new(names: &[String]) -> Self {
        Self {
            names: names.to_vec(),
            joint_states: names.iter().map(|_| JointStates::default()).collect(),
            tf: FrameTransforms::default(),
            tf_desired: FrameTransforms::default(),
            buf: Vec::with_capacity(4096),
        }
    }

    /// foxglove.JointStates of `group` into `self.buf`.
    pub fn joint_states(&mut self, group: usize, stamp: Timestamp, q: &[f64], dq: &[f64],
                        tau: &[f64]) {
        let msg = &mut self.joint_states[group];
        if msg.joints.len() != q.len() {
            let prefix = self.names[group].to_lowercase();
            msg.joints = (0..q.len())
                .map(|i| JointState { name: format!("{prefix}_joint{}", i + 1),
                                      ..Default::default() })
                .collect();
        }
        msg.timestamp = Some(stamp);
        for (i, joint) in msg.joints.iter_mut().enumerate() {
            joint.position = Some(q[i]);
            joint.velocity = Some(dq.get(i).copied().unwrap_or(0.0));
            joint.effort = Some(tau.get(i).copied().unwrap_or(0.0));
        }
        self.buf.clear();
        prost::Message::encode(&*msg, &mut self.buf).expect("a Vec grows");
    }

    /// foxglove.FrameTransforms: world -> G/tcp and world -> G/flange for every group given.
    pub fn tf(&mut self, stamp: Timestamp, groups: &[GroupStates]) {
        let tf = &mut self.tf;
        tf.transforms.resize_with(2 * groups.len(), || transform(String::new()));
        for (i, g) in groups.iter().enumerate() {
            let name = &self.names[g.group];
            for (k, (suffix, pose)) in [("tcp", g.tcp_pose), ("flange", g.flange_pose)]
                .into_iter()
                .enumerate()
            {
                let t = &mut tf.transforms[2 * i + k];
                if !t.child_frame_id.starts_with(name.as_str())
                    || t.child_frame_id.len() != name.len() + 1 + suffix.len()
                    || !t.child_frame_id.ends_with(suffix)
                {
                    *t = transform(format!("{name}/{suffix}"));
                }
                set_pose(t, stamp, pose);
            }
        }
        self.buf.clear();
        prost::Message::encode(&*tf, &mut self.buf).expect("a Vec grows");
    }

    /// foxglove.FrameTransforms: world -> G/tcp_desired for every group given.
    pub fn tf_desired(&mut self, stamp: Timestamp, groups: &[GroupActions]) {
        let tf = &mut self.tf_desired;
        tf.transforms.resize_with(groups.len(), || transform(String::new()));
        for (i, g) in groups.iter().enumerate() {
            let name = &self.names[g.group];
            let t = &mut tf.transforms[i];
            if t.child_frame_id.len() != name.len() + "/tcp_desired".len()
                || !t.child_frame_id.starts_with(name.as_str())
            {
                *t = transform(format!("{name}/tcp_desired"));
            }
            set_pose(t, stamp, g.tcp_pose_d);
        }
        self.buf.clear();
        prost::Message::encode(&*tf, &mut self.buf).expect("a Vec grows");
    }

    /// The status as JSON into `self.buf`.
    pub fn status(&mut self, status: &Status) {
        self.buf.clear();
        serde_json::to_writer(&mut self.buf, status).expect("a Vec grows");
    }
}
