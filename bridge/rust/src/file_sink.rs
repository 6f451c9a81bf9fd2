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

use crate::channels::{Channel, Channels};

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
    channels: Channels,
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
    pub fn open(options: FileOptions, channels: &Channels,
                metadata: BTreeMap<String, String>) -> Result<Self, String> {
        let mut sink = FileSink {
            options,
            channels: channels.clone(),
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
        let mut channel_ids = Vec::with_capacity(self.channels.specs().len());
        for spec in self.channels.specs() {
            let schema_id = match &spec.schema {
                Some(s) => writer.add_schema(&s.name, &s.encoding, &s.data),
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

    pub fn write(&mut self, channel: Channel, log_ns: u64, publish_ns: u64, data: &[u8])
                 -> Result<(), String> {
        let f = match self.file.as_mut() {
            Some(f) => f,
            None => return Err("the file is closed".into()),
        };
        let i = channel.index();
        let sequence = f.sequences[i];
        f.sequences[i] = sequence.wrapping_add(1);
        let header = MessageHeader {
            channel_id: f.channel_ids[i],
            sequence,
            log_time: log_ns,
            publish_time: publish_ns,
        };
        if let Err(e) = f.writer.write_to_known_channel(&header, data) {
            return Err(io_error(&self.current_path(), e));
        }
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

    /// Writes a metadata record into the current file (none without a file).
    pub fn write_metadata(&mut self, name: &str, metadata: BTreeMap<String, String>)
                          -> Result<(), String> {
        let path = self.current_path();
        let Some(f) = self.file.as_mut() else { return Ok(()) };
        f.writer
            .write_metadata(&Metadata { name: name.into(), metadata })
            .map_err(|e| io_error(&path, e))
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

#[cfg(test)]
pub mod tests {
    use super::*;
    use crate::status::tests::header_fields;
    use mcap::records::Record;

    /// A fresh directory of its own for each test, removed when the test ends.
    pub struct Scratch(PathBuf);

    impl std::ops::Deref for Scratch {
        type Target = PathBuf;
        fn deref(&self) -> &PathBuf {
            &self.0
        }
    }

    impl AsRef<Path> for Scratch {
        fn as_ref(&self) -> &Path {
            &self.0
        }
    }

    impl Drop for Scratch {
        fn drop(&mut self) {
            let _ = std::fs::remove_dir_all(&self.0);
        }
    }

    pub fn scratch(name: &str) -> Scratch {
        let dir = std::env::temp_dir().join(format!("okb-{}-{name}", std::process::id()));
        let _ = std::fs::remove_dir_all(&dir);
        std::fs::create_dir_all(&dir).unwrap();
        Scratch(dir)
    }

    pub fn options(path: PathBuf) -> FileOptions {
        FileOptions { path, chunk_duration_ns: 0, chunk_size: 1 << 30, split_size: 0,
                      split_duration_ns: 0 }
    }

    fn registry() -> Channels {
        Channels::declare(&["ARM_1".to_string()], &header_fields())
    }

    fn metadata_records(bytes: &[u8]) -> BTreeMap<String, BTreeMap<String, String>> {
        mcap::read::LinearReader::new(bytes)
            .unwrap()
            .filter_map(|r| match r.unwrap() {
                Record::Metadata(m) => Some((m.name, m.metadata)),
                _ => None,
            })
            .collect()
    }

    /// Writes one message on the raw channel per log time, each sample ended as the bridge
    /// does (`before_sample` first).
    fn write_at(sink: &mut FileSink, channel: Channel, times: impl IntoIterator<Item = u64>,
                size: usize) {
        for t in times {
            sink.before_sample(t).unwrap();
            sink.write(channel, t, t + 1, &vec![7u8; size]).unwrap();
        }
    }

    #[test]
    fn split_files_are_numbered_and_each_is_complete_with_its_records() {
        let c = registry();
        for (name, numbered) in [("run.mcap", ["run_000.mcap", "run_001.mcap", "run_002.mcap"]),
                                 ("run", ["run_000", "run_001", "run_002"])] {
            let dir = scratch(&format!("split-{name}"));
            let mut o = options(dir.join(name));
            o.split_size = 1;
            let meta = BTreeMap::from([("serial_number".to_string(), "SN-1".to_string())]);
            let mut sink = FileSink::open(o, &c, meta).unwrap();
            for i in 0..3u64 {
                assert_eq!(sink.current_path(), dir.join(numbered[i as usize]));
                write_at(&mut sink, c.raw_basic, [i * 10, i * 10 + 1], 100);
                assert!(sink.split_due(i * 10 + 1));
                let counters =
                    BTreeMap::from([("samples_written".into(), format!("{}", 2 * i + 2))]);
                if i < 2 {
                    sink.next_file(counters).unwrap();
                } else {
                    sink.finish_file(counters).unwrap();
                }
            }
            let mut files: Vec<_> = std::fs::read_dir(&dir).unwrap()
                .map(|e| e.unwrap().file_name().into_string().unwrap()).collect();
            files.sort();
            assert_eq!(files, numbered);
            let mut total = 0;
            for (i, f) in numbered.iter().enumerate() {
                let bytes = std::fs::read(dir.join(f)).unwrap();
                total += bytes.len() as u64;
                let records = metadata_records(&bytes);
                assert_eq!(records[METADATA_NAME]["serial_number"], "SN-1");
                assert_eq!(records[COUNTERS_NAME]["samples_written"], format!("{}", 2 * i + 2));
                // Sequences count per file and channel from 0.
                let messages: Vec<_> = mcap::MessageStream::new(&bytes).unwrap()
                    .map(|m| m.unwrap()).collect();
                assert_eq!(messages.iter().map(|m| m.sequence).collect::<Vec<_>>(), [0, 1]);
                assert!(messages.iter().all(|m| m.channel.topic == "/raw/basic_stream_data"
                                            && m.publish_time == m.log_time + 1));
            }
            assert_eq!((sink.files_written, sink.messages_written, sink.bytes_written()),
                       (3, 6, total));
        }
        // Without splitting the path is the one given.
        let dir = scratch("one");
        let sink = FileSink::open(options(dir.join("one.mcap")), &c, BTreeMap::new()).unwrap();
        assert_eq!(sink.current_path(), dir.join("one.mcap"));
    }

    #[test]
    fn split_by_duration_is_due_once_the_file_spans_it() {
        let c = registry();
        let dir = scratch("split-duration");
        let mut o = options(dir.join("d.mcap"));
        o.split_duration_ns = 100;
        let mut sink = FileSink::open(o, &c, BTreeMap::new()).unwrap();
        assert!(!sink.split_due(1_000), "an empty file is never due");
        write_at(&mut sink, c.raw_basic, [1_000], 10);
        assert!(!sink.split_due(1_099));
        assert!(sink.split_due(1_100));
    }

    /// Per chunk of messages of the finished file: (first log time, last log time, messages).
    /// The chunk of the schemas and channels, written when the file starts, is left out.
    fn chunks(path: &Path) -> Vec<(u64, u64, usize)> {
        let bytes = std::fs::read(path).unwrap();
        let summary = mcap::Summary::read(&bytes).unwrap().expect("a summary");
        summary.chunk_indexes.iter()
            .map(|i| (i.message_start_time, i.message_end_time,
                      summary.stream_chunk(&bytes, i).unwrap().count()))
            .filter(|c| c.2 > 0)
            .collect()
    }

    #[test]
    fn chunks_end_by_size_and_by_log_time() {
        let c = registry();
        let dir = scratch("chunks");
        // 100 data bytes and the 31 of the record: the fourth message passes 500 bytes, so
        // the chunk ends before the fifth.
        let mut o = options(dir.join("size.mcap"));
        o.chunk_size = 500;
        let mut sink = FileSink::open(o, &c, BTreeMap::new()).unwrap();
        write_at(&mut sink, c.raw_basic, 0..10, 100);
        sink.finish_file(BTreeMap::new()).unwrap();
        assert_eq!(chunks(&dir.join("size.mcap")), [(0, 3, 4), (4, 7, 4), (8, 9, 2)]);

        // A chunk ends at the first sample logged its duration after its first message.
        let mut o = options(dir.join("time.mcap"));
        o.chunk_duration_ns = 10;
        let mut sink = FileSink::open(o, &c, BTreeMap::new()).unwrap();
        write_at(&mut sink, c.raw_basic, (0..25).map(|i| i * 3), 100);
        sink.finish_file(BTreeMap::new()).unwrap();
        let got = chunks(&dir.join("time.mcap"));
        assert_eq!(got.iter().map(|c| c.2).sum::<usize>(), 25);
        assert!(got.iter().all(|&(start, end, _)| end - start < 10), "{got:?}");
        assert_eq!(got[..2], [(0, 9, 4), (12, 21, 4)]);
    }

    #[test]
    fn a_tick_puts_a_quiet_chunk_on_disk_once_it_is_old_enough() {
        let c = registry();
        let dir = scratch("tick");
        let path = dir.join("tick.mcap");
        let mut o = options(path.clone());
        o.chunk_duration_ns = 1_000;
        let mut sink = FileSink::open(o, &c, BTreeMap::new()).unwrap();
        write_at(&mut sink, c.raw_basic, [5_000, 5_001], 100);
        let on_disk = || -> usize {
            let bytes = std::fs::read(&path).unwrap();
            // The file may end inside a record: count the chunks before it.
            mcap::read::LinearReader::new_with_options(&bytes,
                                                       mcap::read::Options::IgnoreEndMagic.into())
                .unwrap()
                .map_while(|r| r.ok())
                .filter(|r| matches!(r, Record::Chunk { .. }))
                .count()
        };
        // The schemas and channels went out in a chunk of their own when the file started.
        let before = on_disk();
        sink.tick(5_999).unwrap();
        assert_eq!(on_disk(), before, "the chunk is younger than its duration");
        sink.tick(6_000).unwrap();
        assert_eq!(on_disk(), before + 1);
        // Nothing open: a tick writes nothing.
        let len = std::fs::metadata(&path).unwrap().len();
        sink.tick(100_000).unwrap();
        assert_eq!(std::fs::metadata(&path).unwrap().len(), len);
        assert_eq!(sink.bytes_written(), len);
    }
}
