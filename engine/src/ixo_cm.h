/* The context-mixing engine: decodes IXCM streams. C linkage, integer results, no state kept
 * between calls; both functions may run on several threads at once. */
#ifndef IXO_CM_H
#define IXO_CM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int ixo_cm_status;

enum {
  IXO_CM_OK = 0,
  IXO_CM_NOT_A_STREAM = -1,      /* short header, wrong magic, profile, mode or level */
  IXO_CM_CORRUPT = -2,           /* stored payload too short, or CRC-32 mismatch */
  IXO_CM_OUT_OF_MEMORY = -3,     /* the model could not be built */
  IXO_CM_OUTPUT_TOO_SMALL = -4,  /* length above 32 bits or above dst_cap */
  IXO_CM_INVALID_ARGUMENT = -5   /* a required pointer is null */
};

/* Writes the stream's declared output length (all 64 bits) to *out_size on success. */
ixo_cm_status ixo_cm_decompressed_size(const uint8_t* src, size_t src_len, uint64_t* out_size);

/* Decodes into dst[0..dst_cap) and writes the output length to *out_len on success. After a
 * non-zero status the contents of dst are unspecified. */
ixo_cm_status ixo_cm_decompress(const uint8_t* src, size_t src_len, uint8_t* dst, size_t dst_cap,
                                size_t* out_len);

#ifdef __cplusplus
}
#endif

#endif /* IXO_CM_H */
