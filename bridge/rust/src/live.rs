//! The live WebSocket server: the same channels as the file, for viewers such as the Foxglove
//! app. It runs on the SDK's own threads; logging a message only puts it into the queue of each
//! viewer subscribed to its channel, dropping that queue's oldest message when it is full.

use std::collections::{BTreeMap, BTreeSet};
use std::sync::atomic::{AtomicU64, Ordering};
use std::sync::Arc;

use foxglove::websocket::{ChannelView, Client, ServerListener};
use foxglove::{Context, PartialMetadata, RawChannel, WebSocketServer,
               WebSocketServerHandle};
use std::sync::Mutex;

use crate::channels::{Channel, Channels};

#[derive(Default, Clone)]
pub struct ViewerStats {
    pub channels: BTreeSet<u64>,
    pub queued: u64,
}

/// Which viewer is subscribed to which channel, and how many messages each was handed.
#[derive(Default)]
struct Viewers {
    by_client: Mutex<BTreeMap<u32, ViewerStats>>,
    /// Per channel index, the clients subscribed.
    subscribers: Mutex<BTreeMap<u64, BTreeSet<u32>>>,
}

impl ServerListener for Viewers {
    fn on_subscribe(&self, client: Client, channel: ChannelView) {
        let id = u64::from(channel.id());
        let client_id = u32::from(client.id());
        let mut by_client = self.by_client.lock().unwrap_or_else(|e| e.into_inner());
        let v = by_client.entry(client_id).or_default();
        v.channels.insert(id);
        self.subscribers.lock().unwrap_or_else(|e| e.into_inner()).entry(id).or_default().insert(client_id);
    }

    fn on_unsubscribe(&self, client: Client, channel: ChannelView) {
        let id = u64::from(channel.id());
        let client_id = u32::from(client.id());
        if let Some(v) = self.by_client.lock().unwrap_or_else(|e| e.into_inner()).get_mut(&client_id) {
            v.channels.remove(&id);
        }
        if let Some(s) = self.subscribers.lock().unwrap_or_else(|e| e.into_inner()).get_mut(&id) {
            s.remove(&client_id);
        }
    }
}

pub struct LiveServer {
    _context: Arc<Context>,
    channels: Vec<Arc<RawChannel>>,
    channel_ids: Vec<u64>,
    handle: Option<WebSocketServerHandle>,
    viewers: Arc<Viewers>,
    pub port: u16,
    pub messages_served: AtomicU64,
}

impl LiveServer {
    pub fn start(registry: &Channels, host: &str, port: u16, name: &str, backlog: usize)
                 -> Result<Self, String> {
        let context = Context::new();
        let mut channels = Vec::with_capacity(registry.specs().len());
        for spec in registry.specs() {
            let mut builder = context
                .channel_builder(spec.topic.clone())
                .message_encoding(spec.message_encoding.clone());
            if let Some(schema) = &spec.schema {
                builder = builder.schema(schema.clone());
            }
            channels.push(builder.build_raw().map_err(|e| e.to_string())?);
        }
        let viewers = Arc::new(Viewers::default());
        let mut server = WebSocketServer::new()
            .name(name)
            .bind(host, port)
            .context(&context)
            .listener(viewers.clone());
        if backlog > 0 {
            server = server.message_backlog_size(backlog);
        }
        let handle = server
            .start_blocking()
            .map_err(|e| format!("cannot serve on {host}:{port}: {e}"))?;
        Ok(LiveServer {
            _context: context,
            channel_ids: channels.iter().map(|c| u64::from(c.id())).collect(),
            channels,
            port: handle.port(),
            handle: Some(handle),
            viewers,
            messages_served: AtomicU64::new(0),
        })
    }

    /// Whether any viewer is subscribed to the channel.
    pub fn wanted(&self, channel: Channel) -> bool {
        self.channels[channel.index()].has_sinks()
    }

    pub fn log(&self, channel: Channel, log_ns: u64, data: &[u8]) {
        let ch = &self.channels[channel.index()];
        if !ch.has_sinks() {
            return;
        }
        ch.log_with_meta(data, PartialMetadata::with_log_time(log_ns));
        self.messages_served.fetch_add(1, Ordering::Relaxed);
        let subscribers = self.viewers.subscribers.lock().unwrap_or_else(|e| e.into_inner());
        if let Some(clients) = subscribers.get(&self.channel_ids[channel.index()]) {
            if clients.is_empty() {
                return;
            }
            let mut by_client = self.viewers.by_client.lock().unwrap_or_else(|e| e.into_inner());
            for c in clients {
                if let Some(v) = by_client.get_mut(c) {
                    v.queued += 1;
                }
            }
        }
    }

    pub fn viewers(&self) -> Vec<(u32, ViewerStats)> {
        self.viewers
            .by_client
            .lock()
            .unwrap_or_else(|e| e.into_inner())
            .iter()
            .map(|(k, v)| (*k, v.clone()))
            .collect()
    }

    pub fn stop(&mut self) {
        if let Some(handle) = self.handle.take() {
            handle.stop().wait_blocking();
        }
    }
}

impl Drop for LiveServer {
    fn drop(&mut self) {
        self.stop();
    }
}
