//! The port viewers connect to. Each viewer's connection is relayed to the WebSocket server on
//! a loopback port of its own, so that
//! - viewers of either name of the protocol connect: `foxglove.websocket.v1` (older apps and
//!   client libraries) and `foxglove.sdk.v1`/`foxglove.sdk.v1.1` carry the same messages, and
//!   the server speaks only the new names;
//! - each viewer's loss is counted: the relay reads the server's messages as they come and
//!   queues them for the viewer in a bounded queue of its own, which drops its oldest message
//!   data (never a control message) when the viewer falls behind, counting what it sent and
//!   what it dropped.
//!
//! The WebSocket framing and handshakes are tungstenite's; the relay only chooses the
//! subprotocol and moves whole messages.

use std::collections::{BTreeSet, VecDeque};
use std::sync::atomic::{AtomicU32, AtomicU64, Ordering};
use std::sync::{Arc, Mutex};
use std::time::Duration;

use futures_util::{SinkExt, StreamExt};
use tokio::net::{TcpListener, TcpStream};
use tokio::sync::{watch, Notify};
use tokio::task::JoinSet;
use tokio_tungstenite::tungstenite::client::IntoClientRequest;
use tokio_tungstenite::tungstenite::handshake::server::{ErrorResponse, Request, Response};
use tokio_tungstenite::tungstenite::http::{HeaderValue, StatusCode};
use tokio_tungstenite::tungstenite::Message;

/// The names a viewer may offer, best first, and the name the relay offers the server for it.
const SUBPROTOCOLS: [(&str, &str); 3] = [
    ("foxglove.sdk.v1.1", "foxglove.sdk.v1.1"),
    ("foxglove.sdk.v1", "foxglove.sdk.v1"),
    ("foxglove.websocket.v1", "foxglove.sdk.v1"),
];
const PROTOCOL_HEADER: &str = "sec-websocket-protocol";
/// The opcode of a binary message carrying a channel's message: only these are dropped.
const MESSAGE_DATA: u8 = 0x01;
/// Messages handed to the viewer's socket at once before a flush.
const WRITE_BATCH: usize = 64;
/// How long viewers have to take the server's goodbye when it stops.
const CLOSE_GRACE: Duration = Duration::from_millis(500);

/// What one viewer was sent and lost. Kept after it leaves, for the summary.
#[derive(Default)]
pub struct ViewerCounts {
    pub id: u32,
    /// Subscriptions open now; 0 once the viewer left.
    pub subscriptions: AtomicU32,
    /// Channel messages the server sent for this viewer, into its queue.
    pub queued: AtomicU64,
    /// Channel messages written to the viewer's connection.
    pub sent: AtomicU64,
    /// Channel messages dropped, oldest first, because the viewer fell behind.
    pub dropped: AtomicU64,
}

/// A viewer's queue: whole messages, bounded in channel messages.
struct Outbox {
    state: Mutex<OutboxState>,
    ready: Notify,
}

#[derive(Default)]
struct OutboxState {
    queue: VecDeque<(Message, bool)>,
    data: usize,
    closed: bool,
}

impl Outbox {
    fn new() -> Self {
        Outbox { state: Mutex::new(OutboxState::default()), ready: Notify::new() }
    }

    fn push(&self, message: Message, counts: &ViewerCounts, backlog: usize) {
        let data = is_message_data(&message);
        {
            let mut s = self.state.lock().unwrap_or_else(|e| e.into_inner());
            if data {
                counts.queued.fetch_add(1, Ordering::Relaxed);
                if s.data >= backlog {
                    if let Some(oldest) = s.queue.iter().position(|(_, d)| *d) {
                        s.queue.remove(oldest);
                        s.data -= 1;
                        counts.dropped.fetch_add(1, Ordering::Relaxed);
                    }
                }
                s.data += 1;
            }
            s.queue.push_back((message, data));
        }
        self.ready.notify_one();
    }

    fn close(&self) {
        self.state.lock().unwrap_or_else(|e| e.into_inner()).closed = true;
        self.ready.notify_one();
    }

    /// Up to `WRITE_BATCH` messages; empty once closed and drained.
    async fn take(&self, into: &mut Vec<(Message, bool)>) {
        loop {
            {
                let mut s = self.state.lock().unwrap_or_else(|e| e.into_inner());
                let n = s.queue.len().min(WRITE_BATCH);
                into.extend(s.queue.drain(..n));
                s.data -= into.iter().filter(|(_, d)| *d).count();
                if !into.is_empty() || s.closed {
                    return;
                }
            }
            self.ready.notified().await;
        }
    }
}

fn is_message_data(message: &Message) -> bool {
    matches!(message, Message::Binary(b) if b.first() == Some(&MESSAGE_DATA))
}

/// The subprotocol to answer the viewer with and the one to offer the server, from the names
/// the viewer offered (a header may list several, and may be repeated).
fn choose(request: &Request) -> Option<(&'static str, &'static str)> {
    let offered: BTreeSet<&str> = request
        .headers()
        .get_all(PROTOCOL_HEADER)
        .iter()
        .filter_map(|v| v.to_str().ok())
        .flat_map(|v| v.split(','))
        .map(str::trim)
        .collect();
    SUBPROTOCOLS.iter().copied().find(|(name, _)| offered.contains(name))
}

/// Subscriptions a viewer's text message opens (+) or closes (-).
fn track_subscriptions(text: &str, open: &mut BTreeSet<u64>) {
    let Ok(v) = serde_json::from_str::<serde_json::Value>(text) else { return };
    let ids = |key: &str, id: Option<&str>| -> Vec<u64> {
        v.get(key)
            .and_then(|a| a.as_array())
            .map(|a| {
                a.iter()
                    .filter_map(|e| match id {
                        Some(k) => e.get(k).and_then(|x| x.as_u64()),
                        None => e.as_u64(),
                    })
                    .collect()
            })
            .unwrap_or_default()
    };
    match v.get("op").and_then(|o| o.as_str()) {
        Some("subscribe") => open.extend(ids("subscriptions", Some("id"))),
        Some("unsubscribe") => {
            for id in ids("subscriptionIds", None) {
                open.remove(&id);
            }
        }
        _ => {}
    }
}

pub struct ViewerRelay {
    pub port: u16,
    viewers: Arc<Mutex<Vec<Arc<ViewerCounts>>>>,
    stop: watch::Sender<bool>,
    accepting: Option<tokio::task::JoinHandle<()>>,
}

impl ViewerRelay {
    /// Listens on `host:port` and relays each viewer to the server on `inner_port`.
    pub fn start(runtime: &tokio::runtime::Handle, host: &str, port: u16, inner_port: u16,
                 backlog: usize) -> Result<Self, String> {
        let listener = runtime
            .block_on(TcpListener::bind((host, port)))
            .map_err(|e| e.to_string())?;
        let port = listener.local_addr().map_err(|e| e.to_string())?.port();
        let viewers = Arc::new(Mutex::new(Vec::new()));
        let (stop, stopped) = watch::channel(false);
        let accepting = runtime.spawn(accept(listener, inner_port, backlog.max(1),
                                             viewers.clone(), stopped));
        Ok(ViewerRelay { port, viewers, stop, accepting: Some(accepting) })
    }

    /// Every viewer that connected, in order.
    pub fn viewers(&self) -> Vec<Arc<ViewerCounts>> {
        self.viewers.lock().unwrap_or_else(|e| e.into_inner()).clone()
    }

    /// Stops accepting; viewers get what is queued for them within a grace period.
    pub fn stop(&mut self, runtime: &tokio::runtime::Handle) {
        let _ = self.stop.send(true);
        if let Some(task) = self.accepting.take() {
            let _ = runtime.block_on(task);
        }
    }
}

async fn accept(listener: TcpListener, inner_port: u16, backlog: usize,
                viewers: Arc<Mutex<Vec<Arc<ViewerCounts>>>>, mut stopped: watch::Receiver<bool>) {
    let mut connections = JoinSet::new();
    loop {
        tokio::select! {
            _ = stopped.changed() => break,
            accepted = listener.accept() => {
                let Ok((stream, _)) = accepted else { continue };
                connections.spawn(relay(stream, inner_port, backlog, viewers.clone()));
            }
            Some(_) = connections.join_next(), if !connections.is_empty() => {}
        }
    }
    drop(listener);
    // The server has closed its side by now (it stops first): give each viewer its goodbye.
    let _ = tokio::time::timeout(CLOSE_GRACE, async {
        while connections.join_next().await.is_some() {}
    })
    .await;
    connections.abort_all();
}

async fn relay(viewer: TcpStream, inner_port: u16, backlog: usize,
               viewers: Arc<Mutex<Vec<Arc<ViewerCounts>>>>) {
    let _ = viewer.set_nodelay(true);
    let mut inner_name = None;
    let handshake = tokio_tungstenite::accept_hdr_async(viewer, |req: &Request, mut res: Response| {
        match choose(req) {
            Some((name, inner)) => {
                inner_name = Some(inner);
                res.headers_mut().insert(PROTOCOL_HEADER, HeaderValue::from_static(name));
                Ok(res)
            }
            None => {
                let mut err = ErrorResponse::new(Some(
                    "Missing expected sec-websocket-protocol header: offer foxglove.sdk.v1 or \
                     foxglove.websocket.v1"
                        .to_string(),
                ));
                *err.status_mut() = StatusCode::BAD_REQUEST;
                Err(err)
            }
        }
    });
    let Ok(viewer) = handshake.await else { return };
    let Some(inner_name) = inner_name else { return };
    let Ok(server) = connect_inner(inner_port, inner_name).await else { return };
    // A viewer from here on: one that was refused is not counted.
    let counts = {
        let mut v = viewers.lock().unwrap_or_else(|e| e.into_inner());
        let c = Arc::new(ViewerCounts { id: v.len() as u32 + 1, ..Default::default() });
        v.push(c.clone());
        c
    };
    let (mut viewer_tx, mut viewer_rx) = viewer.split();
    let (mut server_tx, mut server_rx) = server.split();
    let outbox = Arc::new(Outbox::new());

    // Server to outbox: as fast as the server sends, so its own queue never fills.
    let reading = {
        let (outbox, counts) = (outbox.clone(), counts.clone());
        async move {
            while let Some(Ok(m)) = server_rx.next().await {
                match m {
                    Message::Ping(_) | Message::Pong(_) | Message::Frame(_) => continue,
                    Message::Close(f) => {
                        outbox.push(Message::Close(f), &counts, backlog);
                        break;
                    }
                    m => outbox.push(m, &counts, backlog),
                }
            }
            outbox.close();
        }
    };
    // Outbox to viewer.
    let writing = {
        let (outbox, counts) = (outbox.clone(), counts.clone());
        async move {
            let mut batch = Vec::with_capacity(WRITE_BATCH);
            loop {
                outbox.take(&mut batch).await;
                if batch.is_empty() {
                    break;
                }
                for (m, data) in batch.drain(..) {
                    let close = matches!(m, Message::Close(_));
                    if viewer_tx.feed(m).await.is_err() {
                        return;
                    }
                    if data {
                        counts.sent.fetch_add(1, Ordering::Relaxed);
                    }
                    if close {
                        let _ = viewer_tx.flush().await;
                        return;
                    }
                }
                if viewer_tx.flush().await.is_err() {
                    return;
                }
            }
            let _ = viewer_tx.close().await;
        }
    };
    // Viewer to server: subscriptions, parameters, client channels, as they are.
    let forwarding = {
        let counts = counts.clone();
        async move {
            let mut open = BTreeSet::new();
            while let Some(Ok(m)) = viewer_rx.next().await {
                match m {
                    Message::Ping(_) | Message::Pong(_) | Message::Frame(_) => continue,
                    Message::Close(f) => {
                        let _ = server_tx.send(Message::Close(f)).await;
                        break;
                    }
                    m => {
                        if let Message::Text(t) = &m {
                            track_subscriptions(t.as_str(), &mut open);
                            counts.subscriptions.store(open.len() as u32, Ordering::Relaxed);
                        }
                        if server_tx.send(m).await.is_err() {
                            break;
                        }
                    }
                }
            }
        }
    };
    // The connection ends when the viewer leaves or has been given everything up to the
    // server's close.
    tokio::select! {
        _ = async { tokio::join!(reading, writing) } => {}
        _ = forwarding => {}
    }
    counts.subscriptions.store(0, Ordering::Relaxed);
}

async fn connect_inner(port: u16, name: &'static str) -> Result<
    tokio_tungstenite::WebSocketStream<TcpStream>, String> {
    let stream = TcpStream::connect(("127.0.0.1", port)).await.map_err(|e| e.to_string())?;
    let _ = stream.set_nodelay(true);
    let mut request = format!("ws://127.0.0.1:{port}/")
        .into_client_request()
        .map_err(|e| e.to_string())?;
    request.headers_mut().insert(PROTOCOL_HEADER, HeaderValue::from_static(name));
    let (ws, _) = tokio_tungstenite::client_async(request, stream)
        .await
        .map_err(|e| e.to_string())?;
    Ok(ws)
}

#[cfg(test)]
mod tests {
    use super::*;

    #[test]
    fn either_name_is_chosen_and_the_newest_wins() {
        let req = |offer: &str| {
            let mut r = Request::new(());
            r.headers_mut().append(PROTOCOL_HEADER, HeaderValue::from_str(offer).unwrap());
            r
        };
        assert_eq!(choose(&req("foxglove.websocket.v1")),
                   Some(("foxglove.websocket.v1", "foxglove.sdk.v1")));
        assert_eq!(choose(&req("foxglove.sdk.v1")), Some(("foxglove.sdk.v1", "foxglove.sdk.v1")));
        assert_eq!(choose(&req("foxglove.websocket.v1, foxglove.sdk.v1")),
                   Some(("foxglove.sdk.v1", "foxglove.sdk.v1")));
        assert_eq!(choose(&req("foxglove.sdk.v1.10")), None, "names are compared whole");
        assert_eq!(choose(&Request::new(())), None);
    }

    #[test]
    fn a_full_outbox_drops_its_oldest_channel_message_and_keeps_control_messages() {
        let outbox = Outbox::new();
        let counts = ViewerCounts::default();
        outbox.push(Message::text("advertise"), &counts, 2);
        for i in 0..5u8 {
            outbox.push(Message::binary(vec![MESSAGE_DATA, i]), &counts, 2);
        }
        outbox.push(Message::binary(vec![0x02, 9]), &counts, 2); // a time message
        let kept: Vec<Message> = outbox.state.lock().unwrap().queue.iter().map(|(m, _)| m.clone())
            .collect();
        assert_eq!(kept, vec![Message::text("advertise"), Message::binary(vec![MESSAGE_DATA, 3]),
                              Message::binary(vec![MESSAGE_DATA, 4]), Message::binary(vec![0x02, 9])]);
        assert_eq!((counts.queued.load(Ordering::Relaxed), counts.dropped.load(Ordering::Relaxed)),
                   (5, 3));
    }

    #[test]
    fn subscriptions_are_followed() {
        let mut open = BTreeSet::new();
        track_subscriptions(r#"{"op":"subscribe","subscriptions":[{"id":1,"channelId":3},{"id":2,"channelId":4}]}"#, &mut open);
        track_subscriptions(r#"{"op":"unsubscribe","subscriptionIds":[1]}"#, &mut open);
        track_subscriptions("not json", &mut open);
        assert_eq!(open.into_iter().collect::<Vec<_>>(), vec![2]);
    }
}
