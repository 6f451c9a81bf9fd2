//! A recording opened through its summary: metadata, chunk indexes, and the messages of a few
//! topics read one chunk at a time, so that a time window costs only the chunks it overlaps.

use std::collections::BTreeMap;
use std::fs::File;
use std::io::{Read, Seek, SeekFrom};

use mcap::read::{parse_record, ChunkReader};
use mcap::records::{ChunkIndex, Record};
use mcap::sans_io::summary_reader::{SummaryReadEvent, SummaryReader};
use mcap::{McapError, Summary};

/// What went wrong, told apart because the callers word the two differently.
pub enum ReadError {
    /// The file could not be opened or read: the OS error's text.
    Io(std::io::Error),
    /// The bytes are not a complete MCAP file (or a record in it is damaged).
    Format(String),
}

impl From<std::io::Error> for ReadError {
    fn from(e: std::io::Error) -> Self {
        ReadError::Io(e)
    }
}

impl From<McapError> for ReadError {
    fn from(e: McapError) -> Self {
        match e {
            McapError::Io(io) => ReadError::Format(io.to_string()),
            other => ReadError::Format(other.to_string()),
        }
    }
}

/// One topic's messages of the chunk read last, in log-time order: payload i is
/// `bytes[offsets[i]..offsets[i + 1]]`.
#[derive(Default)]
pub struct TopicMessages {
    pub bytes: Vec<u8>,
    pub offsets: Vec<u64>,
    pub log_times: Vec<i64>,
}

impl TopicMessages {
    fn clear(&mut self) {
        self.bytes.clear();
        self.offsets.clear();
        self.offsets.push(0);
        self.log_times.clear();
    }

    fn len(&self) -> usize {
        self.log_times.len()
    }

    // The recorder writes each topic in arrival order; a file whose writer did not is put
    // back into log-time order (stable, so equal times keep their file order).
    fn sort_by_log_time(&mut self) {
        if self.log_times.windows(2).all(|w| w[0] <= w[1]) {
            return;
        }
        let mut order: Vec<usize> = (0..self.len()).collect();
        order.sort_by_key(|&i| self.log_times[i]);
        let mut sorted = TopicMessages::default();
        sorted.clear();
        for i in order {
            let (a, b) = (self.offsets[i] as usize, self.offsets[i + 1] as usize);
            sorted.bytes.extend_from_slice(&self.bytes[a..b]);
            sorted.offsets.push(sorted.bytes.len() as u64);
            sorted.log_times.push(self.log_times[i]);
        }
        *self = sorted;
    }
}

pub struct Reader {
    file: File,
    pub summary: Summary,
    /// Metadata records in file order: (name, key/value pairs).
    pub metadata: Vec<(String, Vec<(String, String)>)>,
    /// Per topic asked for at open: its channel ids (a topic may have more than one channel).
    channels: Vec<Vec<u16>>,
    /// The chunk indexes in log-time order.
    pub chunks: Vec<ChunkIndex>,
    record: Vec<u8>,
    pub messages: Vec<TopicMessages>,
}

fn read_exact_at(
    file: &mut File,
    offset: u64,
    len: usize,
    out: &mut Vec<u8>,
) -> Result<(), ReadError> {
    file.seek(SeekFrom::Start(offset))?;
    out.resize(len, 0);
    file.read_exact(out).map_err(|e| match e.kind() {
        std::io::ErrorKind::UnexpectedEof => ReadError::Format("unexpected end of file".into()),
        _ => ReadError::Io(e),
    })
}

impl Reader {
    pub fn open(path: &str, topics: &[String]) -> Result<Reader, ReadError> {
        let mut file = File::open(path)?;
        let size = file.metadata()?.len();
        let mut reader = SummaryReader::new_with_options(
            mcap::sans_io::summary_reader::SummaryReaderOptions::default().with_file_size(size),
        );
        while let Some(event) = reader.next_event() {
            match event? {
                SummaryReadEvent::ReadRequest(need) => {
                    let n = file.read(reader.insert(need))?;
                    reader.notify_read(n);
                }
                SummaryReadEvent::SeekRequest(to) => {
                    let pos = file.seek(to)?;
                    reader.notify_seeked(pos);
                }
            }
        }
        let mut summary = reader.finish().ok_or_else(|| {
            ReadError::Format("the file has no summary section (it was not closed)".into())
        })?;
        let mut me = Reader {
            file,
            channels: topics
                .iter()
                .map(|t| {
                    let mut ids: Vec<u16> = summary
                        .channels
                        .values()
                        .filter(|c| &c.topic == t)
                        .map(|c| c.id)
                        .collect();
                    ids.sort_unstable();
                    ids
                })
                .collect(),
            chunks: {
                // A chunk the writer closed before any message (only schemas and channels)
                // has neither times nor indexes; it holds nothing to read.
                let mut c: Vec<ChunkIndex> = std::mem::take(&mut summary.chunk_indexes)
                    .into_iter()
                    .filter(|c| {
                        !(c.message_start_time == 0
                            && c.message_end_time == 0
                            && c.message_index_offsets.is_empty())
                    })
                    .collect();
                c.sort_by_key(|c| (c.message_start_time, c.chunk_start_offset));
                c
            },
            summary,
            metadata: Vec::new(),
            record: Vec::new(),
            messages: topics.iter().map(|_| TopicMessages::default()).collect(),
        };
        let mut indexes = std::mem::take(&mut me.summary.metadata_indexes);
        indexes.sort_by_key(|m| m.offset);
        for index in indexes {
            match me.record_at(index.offset)? {
                Record::Metadata(m) => me.metadata.push((m.name, m.metadata.into_iter().collect())),
                _ => {
                    return Err(ReadError::Format(
                        "a metadata index points at no metadata record".into(),
                    ))
                }
            }
        }
        Ok(me)
    }

    /// The record starting at `offset`, parsed from `self.record`.
    fn record_at(&mut self, offset: u64) -> Result<Record<'_>, ReadError> {
        let mut prefix = Vec::new();
        read_exact_at(&mut self.file, offset, 9, &mut prefix)?;
        let len = u64::from_le_bytes(prefix[1..9].try_into().unwrap());
        let left = self.file.metadata()?.len().saturating_sub(offset + 9);
        if len > left {
            return Err(ReadError::Format(format!(
                "a record at {offset} runs past the end of the file"
            )));
        }
        read_exact_at(&mut self.file, offset + 9, len as usize, &mut self.record)?;
        Ok(parse_record(prefix[0], &self.record)?)
    }

    /// Messages per topic asked for at open, from the file's statistics; None without them.
    pub fn message_count(&self, topic: usize) -> Option<u64> {
        let stats = self.summary.stats.as_ref()?;
        Some(
            self.channels[topic]
                .iter()
                .map(|id| stats.channel_message_counts.get(id).copied().unwrap_or(0))
                .sum(),
        )
    }

    pub fn has_topic(&self, topic: usize) -> bool {
        !self.channels[topic].is_empty()
    }

    /// Messages of `topic` in chunk `chunk` whose log time lies in [start, end), from the
    /// chunk's message indexes (no inflating); a chunk written without them is read.
    pub fn count(
        &mut self,
        chunk: usize,
        topic: usize,
        start: i64,
        end: i64,
    ) -> Result<u64, ReadError> {
        let index = &self.chunks[chunk];
        if index.message_index_length == 0 {
            self.read_chunk(chunk)?;
            let t = &self.messages[topic].log_times;
            return Ok(t.iter().filter(|&&t| t >= start && t < end).count() as u64);
        }
        let offsets: Vec<u64> = self.channels[topic]
            .iter()
            .filter_map(|id| index.message_index_offsets.get(id).copied())
            .collect();
        let mut n = 0;
        for offset in offsets {
            match self.record_at(offset)? {
                Record::MessageIndex(mi) => {
                    n += mi
                        .records
                        .iter()
                        .filter(|e| (e.log_time as i64) >= start && (e.log_time as i64) < end)
                        .count() as u64
                }
                _ => {
                    return Err(ReadError::Format(
                        "a chunk's message index is damaged".into(),
                    ))
                }
            }
        }
        Ok(n)
    }

    /// Inflates chunk `chunk` and keeps the messages of the topics asked for at open in
    /// `self.messages` (each in log-time order) until the next call.
    pub fn read_chunk(&mut self, chunk: usize) -> Result<(), ReadError> {
        let index = &self.chunks[chunk];
        let (offset, length) = (index.chunk_start_offset, index.chunk_length);
        for m in &mut self.messages {
            m.clear();
        }
        let wanted: BTreeMap<u16, usize> = self
            .channels
            .iter()
            .enumerate()
            .flat_map(|(k, ids)| ids.iter().map(move |&id| (id, k)))
            .collect();
        if wanted.is_empty() {
            return Ok(());
        }
        let _ = length;
        let (header, data) = match self.record_at(offset)? {
            Record::Chunk { header, data } => (header, data.into_owned()),
            _ => return Err(ReadError::Format("a chunk index points at no chunk".into())),
        };
        for record in ChunkReader::new(header, &data)? {
            if let Record::Message { header, data } = record? {
                if let Some(&k) = wanted.get(&header.channel_id) {
                    let m = &mut self.messages[k];
                    m.bytes.extend_from_slice(&data);
                    m.offsets.push(m.bytes.len() as u64);
                    m.log_times.push(header.log_time as i64);
                }
            }
        }
        for m in &mut self.messages {
            m.sort_by_log_time();
        }
        Ok(())
    }
}
