/* C ABI of the Rust half of the recorder: the MCAP file(s) and the live WebSocket server.
 *
 * One caller thread drives a bridge (open, write, tick, next_file, close); okb_stats and
 * okb_viewers may be called from any thread. Every function returns OKB_OK or an error code;
 * after an error, okb_last_error gives its text on the same thread. No function blocks on a
 * viewer: the server runs on threads of its own and each viewer has its own bounded queue. */
#ifndef ORBALTKVT_BRIDGE_H
#define ORBALTKVT_BRIDGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  OKB_OK = 0,
  /* The sample was written; the file has reached its split size or duration, so the next
   * sample belongs in a new file (okb_next_file). */
  OKB_SPLIT_DUE = 1,
  OKB_ERR_ARGUMENT = -1,
  OKB_ERR_IO = -2,     /* the file could not be written: the bridge has failed */
  OKB_ERR_SERVER = -3, /* the server could not start */
  OKB_ERR_FAILED = -4, /* an earlier write failed; nothing more is written */
  OKB_ERR_PANIC = -5,
};

/* The most joint groups a bridge writes; okb_open refuses more. */
#define OKB_MAX_GROUPS 8

typedef struct okb_bridge okb_bridge;

typedef struct {
  const char* key;
  const char* value;
} okb_key_value;

enum {
  OKB_FIELD_BOOL = 0,  /* values are uint8_t, 0 or 1 */
  OKB_FIELD_INT32 = 1, /* values are int32_t */
};

/* One field of the status header. The /status schema and messages are made from these: after
 * "timestamp" {sec, nsec}, each field in order under its name, a single value when its width
 * is 1 and an array otherwise, and for a named code its name under "<name>_name" right after. */
typedef struct {
  const char* name;
  uint32_t type;       /* OKB_FIELD_BOOL or OKB_FIELD_INT32 */
  size_t width;        /* values per sample, at least 1 */
  const char* meaning; /* one line, UTF-8 */
  uint8_t named;       /* a single code whose name comes with each sample */
} okb_status_field;

typedef struct {
  /* NULL: no file. With splitting, "<stem>_000<ext>", "<stem>_001<ext>", ... */
  const char* mcap_path;
  uint64_t chunk_duration_ns; /* a chunk ends this long (log time) after its first message; 0: never */
  uint64_t chunk_size;        /* a chunk ends at this many uncompressed bytes */
  uint64_t split_size;        /* bytes of a file before the next is started; 0: never */
  uint64_t split_duration_ns; /* log time of a file before the next is started; 0: never */
  const char* serve_host;     /* NULL: no server */
  uint16_t serve_port;        /* 0: picked by the system (okb_stats tells) */
  const char* server_name;
  uint64_t viewer_backlog;    /* messages queued per viewer; its oldest are dropped beyond */
  const char* const* group_names; /* the joint groups written, e.g. "ARM_1" */
  size_t group_count;             /* 1 to OKB_MAX_GROUPS */
  const okb_status_field* status_fields;
  size_t status_field_count;
  const okb_key_value* metadata; /* the "orbaltkvt" metadata record of every file */
  size_t metadata_count;
} okb_options;

/* One joint group of a basic sample. Poses: x, y, z, then quaternion w, x, y, z. */
typedef struct {
  uint32_t group; /* index into okb_options.group_names */
  size_t dof;
  const double* q;
  const double* dq;
  const double* tau;
  const double* tcp_pose;    /* 7 */
  const double* flange_pose; /* 7 */
} okb_group_states;

typedef struct {
  uint32_t group;
  size_t dof;
  const double* q_d;
  const double* dq_d;
  const double* tau_d;
  const double* tcp_pose_d; /* 7 */
} okb_group_actions;

/* The status header of one basic sample, as okb_options.status_fields describes it. */
typedef struct {
  /* Per status field, in order: its width values (uint8_t or int32_t, as its type). */
  const void* const* values;
  /* Per named field, in order: its code's name, UTF-8, NULL for none. */
  const char* const* names;
} okb_status;

typedef struct {
  uint64_t messages_written; /* to files, all channels */
  uint64_t bytes_written;    /* file bytes, all files */
  uint64_t files_written;    /* files started */
  uint64_t messages_served;  /* messages handed to the server (some viewer subscribed) */
  uint16_t port;             /* the server's port; 0 without a server */
  uint8_t failed;            /* a write failed; okb_stats_error tells why */
} okb_stats;

typedef struct {
  uint32_t client_id;     /* 1, 2, ... in the order viewers connected */
  uint32_t subscriptions; /* channels subscribed now; 0 once it left */
  /* Channel messages put into this viewer's queue, written to its connection, and dropped
   * from the queue (its oldest first) because the viewer fell behind. Once the viewer has
   * left or the server has stopped, queued = sent + dropped + what was still queued then. */
  uint64_t queued;
  uint64_t sent;
  uint64_t dropped;
} okb_viewer;

/* Opens the file (if any) with its metadata, and starts the server (if any). */
int32_t okb_open(const okb_options* options, okb_bridge** out);

/* log_ns: host receive time, ns since the epoch. sec/nsec: the robot's timestamp. payload: the
 * sample's wire bytes for the raw channel. */
int32_t okb_write_basic(okb_bridge* bridge, int64_t log_ns, int32_t sec, int32_t nsec,
                        const okb_group_states* groups, size_t group_count,
                        const okb_status* status, const uint8_t* payload, size_t payload_size);
int32_t okb_write_extra(okb_bridge* bridge, int64_t log_ns, int32_t sec, int32_t nsec,
                        const okb_group_actions* groups, size_t group_count,
                        const uint8_t* payload, size_t payload_size);

/* Ends the open chunk when it started chunk_duration ago (now_ns: host time, ns since the
 * epoch), so that a quiet stream still reaches the disk. */
int32_t okb_tick(okb_bridge* bridge, int64_t now_ns);

/* Writes a metadata record `name` with the given keys and values into the current file (nothing
 * without a file). */
int32_t okb_write_metadata(okb_bridge* bridge, const char* name, const okb_key_value* items,
                           size_t count);

typedef struct {
  uint64_t received, delivered, dropped, gaps, malformed;
} okb_stream_counters;

typedef struct {
  okb_stream_counters basic;
  okb_stream_counters extra;
  uint64_t samples_written;
} okb_counters;

/* Logs a /kvt/counters message at host time now_ns (ns since the epoch) to the file and the
 * viewers: these counters and each viewer's messages sent and dropped. */
int32_t okb_write_counters(okb_bridge* bridge, uint64_t now_ns, const okb_counters* counters);

/* Finishes the current file with a metadata record "orbaltkvt.counters" and starts the next. */
int32_t okb_next_file(okb_bridge* bridge, const okb_key_value* counters, size_t counter_count);

/* Finishes the file with the counters record, stops the server. Idempotent. */
int32_t okb_close(okb_bridge* bridge, const okb_key_value* counters, size_t counter_count);

void okb_stats_get(const okb_bridge* bridge, okb_stats* out);
/* Copies the failure text (empty when none) into buf, NUL-terminated; returns its full length. */
size_t okb_stats_error(const okb_bridge* bridge, char* buf, size_t size);
/* Fills up to capacity viewers (those connected and those that left); returns how many exist. */
size_t okb_viewers(const okb_bridge* bridge, okb_viewer* out, size_t capacity);

/* Closes (without counters) if needed and frees. NULL is allowed. */
void okb_free(okb_bridge* bridge);

/* The text of the last error on this thread, NUL-terminated; returns its full length. */
size_t okb_last_error(char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif
