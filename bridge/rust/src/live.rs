//! The live WebSocket server: the same channels as the file, for viewers such as the Foxglove
//! app. Logging a message only puts it into the server's queue for each viewer subscribed to
//! its channel; the server and the relay in front of it run on a runtime of their own, and
//! the relay keeps each viewer's bounded queue (`viewer_relay`).

use std::sync::atomic::{AtomicU64, Ordering};
use std::sync::Arc;

use foxglove::{Context, PartialMetadata, RawChannel, WebSocketServer, WebSocketServerHandle};

use crate::channels::{Channel, Channels};
use crate::viewer_relay::{ViewerCounts, ViewerRelay};

/// The server's own queue per viewer. The relay empties it as it fills, so it only has to
/// cover the moments the relay's threads wait for a core.
const SERVER_BACKLOG: usize = 16384;
/// Threads for the server and the relay together.
const THREADS: usize = 2;

pub struct LiveServer {
    _context: Arc<Context>,
    channels: Vec<Arc<RawChannel>>,
    handle: Option<WebSocketServerHandle>,
    relay: ViewerRelay,
    runtime: Option<tokio::runtime::Runtime>,
    pub port: u16,
    pub messages_served: AtomicU64,
}

impl LiveServer {
    /// Serves on `host:port` (0: a free port); `backlog` is each viewer's queue, in messages.
    pub fn start(registry: &Channels, host: &str, port: u16, name: &str, backlog: usize)
                 -> Result<Self, String> {
        let fail = |e: String| format!("cannot serve on {host}:{port}: {e}");
        let runtime = tokio::runtime::Builder::new_multi_thread()
            .worker_threads(THREADS)
            .thread_name("kvt-serve")
            .enable_all()
            .build()
            .map_err(|e| fail(e.to_string()))?;
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
        let handle = WebSocketServer::new()
            .name(name)
            .bind("127.0.0.1", 0)
            .context(&context)
            .tokio_runtime(runtime.handle())
            .message_backlog_size(SERVER_BACKLOG.max(backlog))
            .start_blocking()
            .map_err(|e| fail(e.to_string()))?;
        let backlog = if backlog == 0 { 1024 } else { backlog };
        let relay = ViewerRelay::start(runtime.handle(), host, port, handle.port(), backlog)
            .map_err(fail)?;
        Ok(LiveServer {
            _context: context,
            channels,
            port: relay.port,
            handle: Some(handle),
            relay,
            runtime: Some(runtime),
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
    }

    /// Every viewer that connected, in order.
    pub fn viewers(&self) -> Vec<Arc<ViewerCounts>> {
        self.relay.viewers()
    }

    /// Stops the server (its viewers get its close), then the relay.
    pub fn stop(&mut self) {
        let Some(runtime) = self.runtime.take() else { return };
        if let Some(handle) = self.handle.take() {
            handle.stop().wait_blocking();
        }
        self.relay.stop(runtime.handle());
        runtime.shutdown_background();
    }
}

impl Drop for LiveServer {
    fn drop(&mut self) {
        self.stop();
    }
}
