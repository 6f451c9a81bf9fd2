/* C ABI of the Rust transport shim over the zenoh crate. Private to orbaltkvt. */
#ifndef ORBALTKVT_ZSHIM_H
#define ORBALTKVT_ZSHIM_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OrbzConfig OrbzConfig;
typedef struct OrbzSession OrbzSession;
typedef struct OrbzKeyExpr OrbzKeyExpr;
typedef struct OrbzSubscriber OrbzSubscriber;

typedef void (*orbz_sample_callback)(void* ctx, const uint8_t* data, size_t len);
typedef void (*orbz_reply_callback)(void* ctx, bool is_ok, const uint8_t* data, size_t len);
typedef void (*orbz_drop_callback)(void* ctx);

#define ORBZ_OK ((int8_t)0)
#define ORBZ_EINVAL ((int8_t)-1)
#define ORBZ_ENULL ((int8_t)-5)
#define ORBZ_EGENERIC ((int8_t)-128)

int8_t orbz_config_default(OrbzConfig** out);
void orbz_config_drop(OrbzConfig* config);
/* Consumes config whatever the outcome. */
int8_t orbz_open(OrbzSession** out, OrbzConfig* config);
void orbz_session_drop(OrbzSession* session);

int8_t orbz_keyexpr_from_substr_autocanonize(const char* text, size_t len, OrbzKeyExpr** out);
int8_t orbz_keyexpr_as_str(const OrbzKeyExpr* ke, const char** text, size_t* len);
void orbz_keyexpr_drop(OrbzKeyExpr* ke);

/* ctx is released through drop_cb exactly once, also when the declaration fails. */
int8_t orbz_declare_subscriber(const OrbzSession* session, const OrbzKeyExpr* ke,
                               orbz_sample_callback sample_cb, orbz_drop_callback drop_cb,
                               void* ctx, OrbzSubscriber** out);
void orbz_subscriber_drop(OrbzSubscriber* sub);

/* ctx is released through drop_cb exactly once, after the last reply or when the query could
 * not be issued. timeout_ms 0 keeps the session's default query timeout. */
int8_t orbz_get(const OrbzSession* session, const OrbzKeyExpr* ke, const char* parameters,
                const uint8_t* payload, size_t payload_len, uint64_t timeout_ms,
                orbz_reply_callback reply_cb, orbz_drop_callback drop_cb, void* ctx);

int8_t orbz_put(const OrbzSession* session, const OrbzKeyExpr* ke, const uint8_t* payload,
                size_t payload_len);

#ifdef __cplusplus
}
#endif

#endif /* ORBALTKVT_ZSHIM_H */
