//! One recording and live session: encodes each sample once and hands its messages to the
//! file and the server.

use std::collections::BTreeMap;
use std::sync::atomic::{AtomicBool, AtomicU64, Ordering};
use std::sync::{Arc, Mutex};

use crate::counters;
use crate::channels::{self, Channel, Channels, Encoder, GroupActions, GroupStates};
use crate::file_sink::{FileOptions, FileSink};
use crate::live::LiveServer;
use crate::viewer_relay::ViewerCounts;
use crate::status::{StatusFields, StatusRow};

pub struct Options {
    pub file: Option<FileOptions>,
    pub serve: Option<(String, u16)>,
    pub server_name: String,
    pub viewer_backlog: usize,
    pub groups: Vec<String>,
    pub status: StatusFields,
    pub metadata: BTreeMap<String, String>,
}

/// Counters readable from any thread while the writer works.
#[derive(Default)]
pub struct Shared {
    pub messages_written: AtomicU64,
    pub bytes_written: AtomicU64,
    pub files_written: AtomicU64,
    pub failed: AtomicBool,
    pub error: Mutex<String>,
}

/// Where a message goes: the file and the server, both made from one registry.
struct Sinks {
    file: Option<FileSink>,
    server: Option<LiveServer>,
}

impl Sinks {
    /// Whether anyone needs the channel's message: the file, or a subscribed viewer.
    fn wanted(&self, channel: Channel) -> bool {
        self.file.is_some() || self.server.as_ref().is_some_and(|s| s.wanted(channel))
    }

    /// Hands the message to every sink; the error is the file's.
    fn log(&mut self, channel: Channel, log_ns: u64, publish_ns: u64, data: &[u8])
           -> Result<(), String> {
        if let Some(s) = &self.server {
            s.log(channel, log_ns, data);
        }
        match self.file.as_mut() {
            Some(f) => f.write(channel, log_ns, publish_ns, data),
            None => Ok(()),
        }
    }
}

pub struct Bridge {
    channels: Channels,
    status: Arc<StatusFields>,
    encoder: Encoder,
    sinks: Sinks,
    pub shared: Shared,
    closed: bool,
}

/// Why a write did not happen.
pub enum WriteError {
    Io(String),
    Failed,
}

impl Bridge {
    pub fn open(options: Options) -> Result<Self, (i32, String)> {
        let channels = Channels::declare(&options.groups, &options.status);
        let file = match options.file {
            Some(f) => Some(FileSink::open(f, &channels, options.metadata.clone())
                .map_err(|e| (crate::OKB_ERR_IO, e))?),
            None => None,
        };
        let server = match &options.serve {
            Some((host, port)) => Some(LiveServer::start(&channels, host, *port,
                                                         &options.server_name,
                                                         options.viewer_backlog)
                .map_err(|e| (crate::OKB_ERR_SERVER, e))?),
            None => None,
        };
        let bridge = Bridge {
            channels,
            status: Arc::new(options.status),
            encoder: Encoder::new(&options.groups),
            sinks: Sinks { file, server },
            shared: Shared::default(),
            closed: false,
        };
        bridge.update_stats();
        Ok(bridge)
    }

    pub fn channels(&self) -> &Channels {
        &self.channels
    }

    pub fn status_fields(&self) -> &Arc<StatusFields> {
        &self.status
    }

    pub fn port(&self) -> u16 {
        self.sinks.server.as_ref().map_or(0, |s| s.port)
    }

    pub fn messages_served(&self) -> u64 {
        self.sinks.server.as_ref().map_or(0, |s| s.messages_served.load(Ordering::Relaxed))
    }

    pub fn viewers(&self) -> Vec<Arc<ViewerCounts>> {
        self.sinks.server.as_ref().map_or_else(Vec::new, |s| s.viewers())
    }

    fn update_stats(&self) {
        if let Some(f) = &self.sinks.file {
            self.shared.messages_written.store(f.messages_written, Ordering::Relaxed);
            self.shared.bytes_written.store(f.bytes_written(), Ordering::Relaxed);
            self.shared.files_written.store(f.files_written, Ordering::Relaxed);
        }
    }

    fn fail(&mut self, message: String) -> WriteError {
        if let Some(f) = self.sinks.file.as_mut() {
            f.abandon();
        }
        self.sinks.file = None;
        *self.shared.error.lock().unwrap_or_else(|e| e.into_inner()) = message.clone();
        self.shared.failed.store(true, Ordering::Release);
        WriteError::Io(message)
    }

    fn check(&self) -> Result<(), WriteError> {
        if self.shared.failed.load(Ordering::Acquire) || self.closed {
            return Err(WriteError::Failed);
        }
        Ok(())
    }

    /// Logs the message to every sink; a failed file write ends the recording.
    fn log(&mut self, channel: Channel, log_ns: u64, publish_ns: u64, data: Option<&[u8]>)
           -> Result<(), WriteError> {
        let data = data.unwrap_or(&self.encoder.buf);
        match self.sinks.log(channel, log_ns, publish_ns, data) {
            Ok(()) => Ok(()),
            Err(e) => Err(self.fail(e)),
        }
    }

    fn before_sample(&mut self, log_ns: u64) -> Result<(), WriteError> {
        self.check()?;
        if let Some(f) = self.sinks.file.as_mut() {
            if let Err(e) = f.before_sample(log_ns) {
                return Err(self.fail(e));
            }
        }
        Ok(())
    }

    /// Returns whether the file is due to be split after this sample.
    pub fn write_basic(&mut self, log_ns: u64, stamp: (i32, i32), groups: &[GroupStates],
                       status: &StatusRow, payload: &[u8]) -> Result<bool, WriteError> {
        self.before_sample(log_ns)?;
        let publish_ns = robot_ns(stamp);
        let ts = channels::timestamp(stamp.0, stamp.1);
        for g in groups {
            let channel = self.channels.joint_states[g.group];
            if self.sinks.wanted(channel) {
                self.encoder.joint_states(g.group, ts, g.q, g.dq, g.tau);
                self.log(channel, log_ns, publish_ns, None)?;
            }
        }
        let c = &self.channels;
        let (tf, status_channel, raw) = (c.tf, c.status, c.raw_basic);
        if self.sinks.wanted(tf) {
            self.encoder.tf(ts, groups);
            self.log(tf, log_ns, publish_ns, None)?;
        }
        if self.sinks.wanted(status_channel) {
            self.encoder.status(status);
            self.log(status_channel, log_ns, publish_ns, None)?;
        }
        if self.sinks.wanted(raw) {
            self.log(raw, log_ns, publish_ns, Some(payload))?;
        }
        self.after_sample(log_ns)
    }

    pub fn write_extra(&mut self, log_ns: u64, stamp: (i32, i32), groups: &[GroupActions],
                       payload: &[u8]) -> Result<bool, WriteError> {
        self.before_sample(log_ns)?;
        let publish_ns = robot_ns(stamp);
        let ts = channels::timestamp(stamp.0, stamp.1);
        for g in groups {
            let channel = self.channels.joint_states_desired[g.group];
            if self.sinks.wanted(channel) {
                self.encoder.joint_states(g.group, ts, g.q_d, g.dq_d, g.tau_d);
                self.log(channel, log_ns, publish_ns, None)?;
            }
        }
        let (tf, raw) = (self.channels.tf_desired, self.channels.raw_extra);
        if self.sinks.wanted(tf) {
            self.encoder.tf_desired(ts, groups);
            self.log(tf, log_ns, publish_ns, None)?;
        }
        if self.sinks.wanted(raw) {
            self.log(raw, log_ns, publish_ns, Some(payload))?;
        }
        self.after_sample(log_ns)
    }

    fn after_sample(&mut self, log_ns: u64) -> Result<bool, WriteError> {
        self.update_stats();
        Ok(self.sinks.file.as_ref().is_some_and(|f| f.split_due(log_ns)))
    }

    pub fn tick(&mut self, now_ns: u64) -> Result<(), WriteError> {
        self.check()?;
        if let Some(f) = self.sinks.file.as_mut() {
            if let Err(e) = f.tick(now_ns) {
                return Err(self.fail(e));
            }
        }
        self.update_stats();
        Ok(())
    }

    /// A /kvt/counters message at host time `now_ns`, to the file and the viewers.
    pub fn write_counters(&mut self, now_ns: u64, c: &counters::Counters)
                          -> Result<(), WriteError> {
        self.check()?;
        let channel = self.channels.counters;
        if !self.sinks.wanted(channel) {
            return Ok(());
        }
        let data = counters::message(now_ns, c, &self.viewers());
        match self.sinks.log(channel, now_ns, now_ns, &data) {
            Ok(()) => Ok(()),
            Err(e) => Err(self.fail(e)),
        }
    }

    /// A metadata record into the current file.
    pub fn write_metadata(&mut self, name: &str, metadata: BTreeMap<String, String>)
                          -> Result<(), WriteError> {
        self.check()?;
        if let Some(f) = self.sinks.file.as_mut() {
            if let Err(e) = f.write_metadata(name, metadata) {
                return Err(self.fail(e));
            }
        }
        Ok(())
    }

    pub fn next_file(&mut self, counters: BTreeMap<String, String>) -> Result<(), WriteError> {
        self.check()?;
        if let Some(f) = self.sinks.file.as_mut() {
            if let Err(e) = f.next_file(counters) {
                return Err(self.fail(e));
            }
        }
        self.update_stats();
        Ok(())
    }

    /// Finishes the file and stops the server. A failed bridge only stops the server.
    pub fn close(&mut self, counters: BTreeMap<String, String>) -> Result<(), WriteError> {
        if self.closed {
            return Ok(());
        }
        self.closed = true;
        if let Some(s) = self.sinks.server.as_mut() {
            s.stop();
        }
        if self.shared.failed.load(Ordering::Acquire) {
            return Ok(());
        }
        if let Some(f) = self.sinks.file.as_mut() {
            if let Err(e) = f.finish_file(counters) {
                return Err(self.fail(e));
            }
        }
        self.update_stats();
        self.sinks.file = None;
        Ok(())
    }
}

fn robot_ns(stamp: (i32, i32)) -> u64 {
    (stamp.0.max(0) as u64) * 1_000_000_000 + stamp.1.max(0) as u64
}
