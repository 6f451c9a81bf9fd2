/* The C ABI of the recording reader's Rust half (recording/rust): a recorder's MCAP file opened
 * through its summary, and the messages of a few topics read one chunk at a time. Only
 * recording/src calls it. No function throws or unwinds; failures come back through OkrError. */
#ifndef ORBALTKVT_RECORDING_H
#define ORBALTKVT_RECORDING_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OkrReader OkrReader;

enum { OKR_OK = 0, OKR_IO = 1, OKR_FORMAT = 2 };

/* code: OKR_IO (the OS refused to open or read the file; text is its error) or OKR_FORMAT
 * (not a complete MCAP file; text says what is wrong). */
typedef struct OkrError {
  int32_t code;
  char text[512];
} OkrError;

typedef struct OkrChunk {
  int64_t message_start_time; /* ns, log time */
  int64_t message_end_time;   /* ns, log time, inclusive */
} OkrChunk;

/* One topic's messages of a chunk in log-time order: payload i is
 * bytes[offsets[i] .. offsets[i + 1]). */
typedef struct OkrMessages {
  size_t count;
  const uint8_t* bytes;
  const uint64_t* offsets;
  const int64_t* log_times;
} OkrMessages;

/* Opens `path` and reads its summary and metadata; `topics` are the topics read later (their
 * index is the `topic` argument below). Null on failure. */
OkrReader* okr_open(const char* path, const char* const* topics, size_t topic_count, OkrError* err);
void okr_close(OkrReader* r);

/* Metadata records in file order; strings are UTF-8, not NUL-terminated, owned by the reader. */
size_t okr_metadata_count(const OkrReader* r);
void okr_metadata_name(const OkrReader* r, size_t record, const uint8_t** name, size_t* name_len,
                       size_t* entries);
void okr_metadata_entry(const OkrReader* r, size_t record, size_t entry, const uint8_t** key,
                        size_t* key_len, const uint8_t** value, size_t* value_len);

/* Groups of the joint layout (the `orbaltkvt` record's `layout` JSON), -1 if the file has
 * none that reads; entry `index`: the group's name as JointGroup spells it, NUL-terminated,
 * start_id and dof. 1 on success. */
int64_t okr_layout_count(const OkrReader* r);
int32_t okr_layout_entry(const OkrReader* r, size_t index, char (*name)[32], uint32_t* start_id,
                         uint64_t* dof);

/* 1 if the file has a channel on topic `topic`; `count` is its message count from the
 * file's statistics, -1 without them. */
int32_t okr_topic(const OkrReader* r, size_t topic, int64_t* count);

/* Chunks in log-time order. */
size_t okr_chunk_count(const OkrReader* r);
void okr_chunk(const OkrReader* r, size_t chunk, OkrChunk* out);

/* Messages of `topic` in `chunk` with log time in [start, end), from the chunk's message
 * indexes (the chunk is inflated only if it has none); -1 on failure. */
int64_t okr_count(OkrReader* r, size_t chunk, size_t topic, int64_t start, int64_t end,
                  OkrError* err);

/* Reads and inflates `chunk`; out[k], one per topic given to okr_open, points into the
 * reader's buffers until the next call or okr_close. OKR_OK or the failure's code. */
int32_t okr_read_chunk(OkrReader* r, size_t chunk, OkrMessages* out, OkrError* err);

#ifdef __cplusplus
}
#endif

#endif /* ORBALTKVT_RECORDING_H */
