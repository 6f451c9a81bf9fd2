//! The MCAP file(s): zstd chunks ended by log time and size, each flushed to the file as it
//! ends, and numbered files when the recording is split.

use std::collections::BTreeMap;
use std::fs::File;
use std::io::{self, BufWriter, Seek, SeekFrom, Write};
use std::path::{Path, PathBuf};
use std::sync::atomic::{AtomicU64, Ordering};
use std::sync::Arc;

use mcap::records::{MessageHeader, Metadata};
use mcap::{Compression, WriteOptions, Writer};

use crate::channels::ChannelSpec;

pub const METADATA_NAME: &str = "orbaltkvt";
pub const COUNTERS_NAME: &str = "orbaltkvt.counters";

/// A file that counts the bytes it holds.
struct CountingFile {
    inner: BufWriter<File>,
    pos: u64,
    /// The file's size, shared with the sink while the writer owns the file.
    len: Arc<AtomicU64>,
}

impl Write for CountingFile {
    fn write(&mut self, buf: &[u8]) -> io::Result<usize> {
        let n = self.inner.write(buf)?;
        self.pos += n as u64;
        self.len.fetch_max(self.pos, Ordering::Relaxed);
        Ok(n)
    }
    fn flush(&mut self) -> io::Result<()> {
        self.inner.flush()
    }
}

impl Seek for CountingFile {
    fn seek(&mut self, to: SeekFrom) -> io::Result<u64> {
        self.pos = self.inner.seek(to)?;
        Ok(self.pos)
    }
    fn stream_position(&mut self) -> io::Result<u64> {
        Ok(self.pos)
    }
}

pub struct FileOptions {
    pub path: PathBuf,
    pub chunk_duration_ns: u64,
    pub chunk_size: u64,
    pub split_size: u64,
    pub split_duration_ns: u64,
}

struct OpenFile {
    writer: Writer<CountingFile>,
    channel_ids: Vec<u16>,
    sequences: Vec<u32>,
    first_log_ns: Option<u64>,
    len: Arc<AtomicU64>,
}

pub struct FileSink {
    options: FileOptions,
    specs: Vec<ChannelSpec>,
    metadata: BTreeMap<String, String>,
    file: Option<OpenFile>,
    index: u64,
    /// Log time of the chunk's first message, and its uncompressed bytes so far.
    chunk_start_ns: Option<u64>,
    chunk_bytes: u64,
    /// Bytes of the files finished before the current one.
    finished_bytes: u64,
    pub messages_written: u64,
    pub files_written: u64,
}

/// "cannot write PATH: REASON", the reason being the innermost cause (the OS error of a failed
/// write rather than the writer's "I/O error from writing").
fn io_error(path: &Path, error: impl std::error::Error) -> String {
    let mut cause: &dyn std::error::Error = &error;
    while let Some(source) = cause.source() {
        cause = source;
    }
    format!("cannot write {}: {cause}", path.display())
}

impl FileSink {
    pub fn open(options: FileOptions, specs: Vec<ChannelSpec>,
                metadata: BTreeMap<String, String>) -> Result<Self, String> {
        let mut sink = FileSink {
            options,
            specs,
            metadata,
            file: None,
            index: 0,
            chunk_start_ns: None,
            chunk_bytes: 0,
            finished_bytes: 0,
            messages_written: 0,
            files_written: 0,
        };
        sink.start_file()?;
        Ok(sink)
    }

    fn splitting(&self) -> bool {
        self.options.split_size > 0 || self.options.split_duration_ns > 0
    }

    /// The path of the current file: as given, or "<stem>_NNN<.ext>" when splitting.
    pub fn current_path(&self) -> PathBuf {
        let path = &self.options.path;
        if !self.splitting() {
            return path.clone();
        }
        let stem = path.file_stem().map(|s| s.to_string_lossy().into_owned()).unwrap_or_default();
        let name = match path.extension() {
            Some(ext) => format!("{stem}_{:03}.{}", self.index, ext.to_string_lossy()),
            None => format!("{stem}_{:03}", self.index),
        };
        path.with_file_name(name)
    }

    fn start_file(&mut self) -> Result<(), String> {
        let path = self.current_path();
        let file = File::create(&path).map_err(|e| io_error(&path, e))?;
        let len = Arc::new(AtomicU64::new(0));
        let counting = CountingFile {
            inner: BufWriter::with_capacity(1 << 16, file),
            pos: 0,
            len: len.clone(),
        };
        let options = WriteOptions::new()
            .compression(Some(Compression::Zstd))
            .library(format!("orbaltkvt-bridge {}", env!("CARGO_PKG_VERSION")))
            // Chunks are ended here, by log time and size, so that each is flushed as it ends.
            .chunk_size(None)
            // The writer's own thread compresses; zstd workers would only compete for the cores.
            .compression_threads(0);
        let mut writer = Writer::with_options(counting, options).map_err(|e| io_error(&path, e))?;
        let mut channel_ids = Vec::with_capacity(self.specs.len());
        for spec in &self.specs {
            let schema_id = match &spec.schema {
                Some((name, encoding, data)) => writer.add_schema(name, encoding, data),
                None => Ok(0),
            }
            .map_err(|e| io_error(&path, e))?;
            let id = writer
                .add_channel(schema_id, &spec.topic, &spec.message_encoding, &BTreeMap::new())
                .map_err(|e| io_error(&path, e))?;
            channel_ids.push(id);
        }
        writer
            .write_metadata(&Metadata { name: METADATA_NAME.into(), metadata: self.metadata.clone() })
            .map_err(|e| io_error(&path, e))?;
        writer.flush().map_err(|e| io_error(&path, e))?;
        self.file = Some(OpenFile {
            writer,
            sequences: vec![0; channel_ids.len()],
            channel_ids,
            first_log_ns: None,
            len,
        });
        self.chunk_start_ns = None;
        self.chunk_bytes = 0;
        self.files_written += 1;
        Ok(())
    }

    /// Bytes on disk (or in the write buffer) in all files.
    pub fn bytes_written(&self) -> u64 {
        self.finished_bytes + self.file.as_ref().map_or(0, |f| f.writer_len())
    }

    /// Ends the open chunk and writes it to the file.
    fn end_chunk(&mut self) -> Result<(), String> {
        let path = self.current_path();
        if let Some(f) = self.file.as_mut() {
            if self.chunk_start_ns.is_some() {
                f.writer.flush().map_err(|e| io_error(&path, e))?;
            }
        }
        self.chunk_start_ns = None;
        self.chunk_bytes = 0;
        Ok(())
    }

    /// Called before each sample: ends the chunk when it is old or large enough.
    pub fn before_sample(&mut self, log_ns: u64) -> Result<(), String> {
        if let Some(start) = self.chunk_start_ns {
            let old = self.options.chunk_duration_ns > 0
                && log_ns.saturating_sub(start) >= self.options.chunk_duration_ns;
            if old || self.chunk_bytes >= self.options.chunk_size {
                self.end_chunk()?;
            }
        }
        Ok(())
    }

    /// Ends the chunk when it is older than the chunk duration at host time `now_ns`.
    pub fn tick(&mut self, now_ns: u64) -> Result<(), String> {
        match self.chunk_start_ns {
            Some(start) if self.options.chunk_duration_ns > 0
                && now_ns.saturating_sub(start) >= self.options.chunk_duration_ns => self.end_chunk(),
            _ => Ok(()),
        }
    }

    pub fn write(&mut self, channel: usize, log_ns: u64, publish_ns: u64, data: &[u8])
                 -> Result<(), String> {
        let path = self.current_path();
        let f = self.file.as_mut().ok_or_else(|| "the file is closed".to_string())?;
        let sequence = f.sequences[channel];
        f.sequences[channel] = sequence.wrapping_add(1);
        let header = MessageHeader {
            channel_id: f.channel_ids[channel],
            sequence,
            log_time: log_ns,
            publish_time: publish_ns,
        };
        f.writer.write_to_known_channel(&header, data).map_err(|e| io_error(&path, e))?;
        f.first_log_ns.get_or_insert(log_ns);
        self.chunk_start_ns.get_or_insert(log_ns);
        // Each message record: its header (31 bytes with opcode and length) and its data.
        self.chunk_bytes += 31 + data.len() as u64;
        self.messages_written += 1;
        Ok(())
    }

    /// Whether the current file has reached its split size or duration at log time `log_ns`.
    pub fn split_due(&self, log_ns: u64) -> bool {
        let Some(f) = self.file.as_ref() else { return false };
        (self.options.split_size > 0 && f.writer_len() >= self.options.split_size)
            || (self.options.split_duration_ns > 0
                && f.first_log_ns
                    .is_some_and(|t| log_ns.saturating_sub(t) >= self.options.split_duration_ns))
    }

    /// Finishes the current file: the counters record, the summary and the footer.
    pub fn finish_file(&mut self, counters: BTreeMap<String, String>) -> Result<(), String> {
        let path = self.current_path();
        let Some(mut f) = self.file.take() else { return Ok(()) };
        f.writer
            .write_metadata(&Metadata { name: COUNTERS_NAME.into(), metadata: counters })
            .map_err(|e| io_error(&path, e))?;
        f.writer.finish().map_err(|e| io_error(&path, e))?;
        let mut inner = f.writer.into_inner();
        inner.flush().map_err(|e| io_error(&path, e))?;
        self.finished_bytes += inner.len.load(Ordering::Relaxed);
        self.chunk_start_ns = None;
        self.chunk_bytes = 0;
        Ok(())
    }

    pub fn next_file(&mut self, counters: BTreeMap<String, String>) -> Result<(), String> {
        self.finish_file(counters)?;
        self.index += 1;
        self.start_file()
    }

    /// Drops the file without finishing it (after a failed write).
    pub fn abandon(&mut self) {
        if let Some(f) = self.file.take() {
            // into_inner hands the file back without the writer trying to finish it.
            drop(f.writer.into_inner());
        }
    }
}

impl OpenFile {
    fn writer_len(&self) -> u64 {
        self.len.load(Ordering::Relaxed)
    }
}
