//! The channel registry: every channel the recorder writes, declared once, with a typed
//! handle for each; and the encoding of one sample into their messages.

use foxglove::schemas::{FrameTransform, FrameTransforms, JointState, JointStates, Quaternion,
                        Timestamp, Vector3};
use foxglove::{Encode, Schema};

use crate::counters;
use crate::status::{StatusFields, StatusRow, STATUS_SCHEMA_NAME};

pub const WORLD: &str = "world";
pub const RAW_ENCODING: &str = "zenoh-ext";

/// What a channel is: its topic, message encoding and schema.
#[derive(Clone, Debug)]
pub struct ChannelSpec {
    pub topic: String,
    pub message_encoding: String,
    pub schema: Option<Schema>,
}

/// A channel of the registry. Every sink keeps its own id for it, looked up by `index`.
#[derive(Clone, Copy, Debug, PartialEq, Eq)]
pub struct Channel(usize);

impl Channel {
    pub fn index(self) -> usize {
        self.0
    }
}

/// Every channel of a recording, declared once; the file and the server are both made from
/// it, and a message is logged to a `Channel` of it.
#[derive(Clone, Debug)]
pub struct Channels {
    specs: Vec<ChannelSpec>,
    /// Per joint group, in the order of the group names.
    pub joint_states: Vec<Channel>,
    pub joint_states_desired: Vec<Channel>,
    pub tf: Channel,
    pub tf_desired: Channel,
    pub status: Channel,
    pub raw_basic: Channel,
    pub raw_extra: Channel,
    pub counters: Channel,
}

fn protobuf<T: Encode>(topic: String) -> ChannelSpec {
    ChannelSpec {
        topic,
        message_encoding: T::get_message_encoding(),
        schema: Some(T::get_schema().expect("foxglove schemas carry a schema")),
    }
}

fn declare(specs: &mut Vec<ChannelSpec>, spec: ChannelSpec) -> Channel {
    specs.push(spec);
    Channel(specs.len() - 1)
}

impl Channels {
    pub fn declare(groups: &[String], status: &StatusFields) -> Self {
        let mut specs = Vec::new();
        let mut joint_states = Vec::with_capacity(groups.len());
        let mut joint_states_desired = Vec::with_capacity(groups.len());
        for g in groups {
            let states = protobuf::<JointStates>(format!("/{g}/joint_states"));
            joint_states.push(declare(&mut specs, states));
            let desired = protobuf::<JointStates>(format!("/{g}/joint_states_desired"));
            joint_states_desired.push(declare(&mut specs, desired));
        }
        let tf = declare(&mut specs, protobuf::<FrameTransforms>("/tf".into()));
        let tf_desired = declare(&mut specs, protobuf::<FrameTransforms>("/tf_desired".into()));
        let status = declare(&mut specs, ChannelSpec {
            topic: "/status".into(),
            message_encoding: "json".into(),
            schema: Some(Schema::new(STATUS_SCHEMA_NAME, "jsonschema", status.schema())),
        });
        let raw = |topic: &str| ChannelSpec {
            topic: topic.into(),
            message_encoding: RAW_ENCODING.into(),
            schema: None,
        };
        let raw_basic = declare(&mut specs, raw("/raw/basic_stream_data"));
        let raw_extra = declare(&mut specs, raw("/raw/extra_stream_data"));
        let counters = declare(&mut specs, ChannelSpec {
            topic: counters::COUNTERS_TOPIC.into(),
            message_encoding: "json".into(),
            schema: Some(Schema::new(counters::COUNTERS_SCHEMA_NAME, "jsonschema",
                                     counters::schema())),
        });
        Channels { specs, joint_states, joint_states_desired, tf, tf_desired, status, raw_basic,
                   raw_extra, counters }
    }

    /// Every channel, `Channel::index` being the position.
    pub fn specs(&self) -> &[ChannelSpec] {
        &self.specs
    }

    pub fn spec(&self, channel: Channel) -> &ChannelSpec {
        &self.specs[channel.0]
    }

    pub fn find(&self, topic: &str) -> Option<Channel> {
        self.specs.iter().position(|s| s.topic == topic).map(Channel)
    }

    pub fn group_count(&self) -> usize {
        self.joint_states.len()
    }
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
    pub fn status(&mut self, status: &StatusRow) {
        self.buf.clear();
        serde_json::to_writer(&mut self.buf, status).expect("a Vec grows");
    }
}

#[cfg(test)]
mod tests {
    use super::*;
    use crate::status::tests::header_fields;

    #[test]
    fn every_channel_is_declared_once_and_found_by_its_handle_and_topic() {
        let c = Channels::declare(&["ARM_1".into(), "ARM_2".into()], &header_fields());
        let topics: Vec<&str> = c.specs().iter().map(|s| s.topic.as_str()).collect();
        // The order the file and the server number their channels in.
        assert_eq!(topics, ["/ARM_1/joint_states", "/ARM_1/joint_states_desired",
                            "/ARM_2/joint_states", "/ARM_2/joint_states_desired", "/tf",
                            "/tf_desired", "/status", "/raw/basic_stream_data",
                            "/raw/extra_stream_data", "/kvt/counters"]);
        let handles = [(c.joint_states[1], "/ARM_2/joint_states"),
                       (c.joint_states_desired[0], "/ARM_1/joint_states_desired"),
                       (c.tf, "/tf"), (c.tf_desired, "/tf_desired"), (c.status, "/status"),
                       (c.raw_basic, "/raw/basic_stream_data"),
                       (c.raw_extra, "/raw/extra_stream_data"), (c.counters, "/kvt/counters")];
        for (handle, topic) in handles {
            assert_eq!(c.spec(handle).topic, topic);
            assert_eq!(c.find(topic), Some(handle));
        }
        assert_eq!(c.find("/ARM_3/joint_states"), None);
        let encodings = |h: Channel| {
            let s = c.spec(h);
            (s.message_encoding.as_str(),
             s.schema.as_ref().map(|s| (s.name.as_str(), s.encoding.as_str())))
        };
        assert_eq!(encodings(c.joint_states[0]),
                   ("protobuf", Some(("foxglove.JointStates", "protobuf"))));
        assert_eq!(encodings(c.tf), ("protobuf", Some(("foxglove.FrameTransforms", "protobuf"))));
        assert_eq!(encodings(c.status), ("json", Some(("orbaltkvt.Status", "jsonschema"))));
        assert_eq!(encodings(c.raw_basic), ("zenoh-ext", None));
        assert_eq!(c.group_count(), 2);
    }
}
