/* C ABI of the Rust bridge (BLAKE3, crash-report filter, Unicode lowercase, Lepton and preflate containers).
 * No function unwinds; no Rust-owned buffer crosses the boundary. (NULL, 0) is an empty input. */
#ifndef IXO_BRIDGE_H
#define IXO_BRIDGE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Receives output bytes; returns false to refuse them. */
typedef bool (*ixo_sink)(void *ctx, const uint8_t *data, size_t len);

void ixo_install_panic_filter(void);
bool ixo_set_quiet(bool quiet); /* returns the previous value */
bool ixo_quiet(void);
bool ixo_bridge_test_panic(void);
/* From now on a failed allocation of the Rust side ends the process with this status (negative: never); on a
 * thread other than this one, after a grace of two seconds. */
void ixo_exit_on_alloc_failure(int32_t status);
/* From now on a thread that the Rust side cannot start, while there is memory for its stack, ends the process with
 * this status (negative: never); without that memory it ends as a failed allocation does. */
void ixo_exit_on_thread_failure(int32_t status);

typedef struct IxoBlake3 IxoBlake3;
bool ixo_blake3_hash(const uint8_t *data, size_t len, uint8_t out[32]);
IxoBlake3 *ixo_blake3_new(void);
bool ixo_blake3_update(IxoBlake3 *h, const uint8_t *data, size_t len);
bool ixo_blake3_finalize(const IxoBlake3 *h, uint8_t out[32]);
void ixo_blake3_reset(IxoBlake3 *h);
void ixo_blake3_free(IxoBlake3 *h);

/* 0 done, 1 not UTF-8, 2 bad arguments or refused by the sink, 3 panicked */
int32_t ixo_to_lowercase(const uint8_t *data, size_t len, ixo_sink sink, void *ctx);

enum {
  IXO_TRANSFORM_OK = 0,
  IXO_TRANSFORM_ERROR = 1,    /* the library's text went to err_sink */
  IXO_TRANSFORM_PANIC = 2,
  IXO_TRANSFORM_BAD_ARGS = 3,
};
/* Each writes its output through out (a refusal there fails the call with the library's error for it) and, on
 * IXO_TRANSFORM_ERROR, the library's error text through err_sink (which may be NULL). */
int32_t ixo_lepton_decode(const uint8_t *data, size_t len, ixo_sink out, void *out_ctx, ixo_sink err_sink,
                          void *err_ctx);
int32_t ixo_lepton_encode(const uint8_t *data, size_t len, ixo_sink out, void *out_ctx, ixo_sink err_sink,
                          void *err_ctx);
int32_t ixo_preflate_decode(const uint8_t *data, size_t len, ixo_sink out, void *out_ctx, ixo_sink err_sink,
                            void *err_ctx);
int32_t ixo_preflate_encode(const uint8_t *data, size_t len, ixo_sink out, void *out_ctx, ixo_sink err_sink,
                            void *err_ctx);

#ifdef __cplusplus
}
#endif
#endif
