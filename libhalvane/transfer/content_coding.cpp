#include "transfer/content_coding.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <climits>
#include <new>

namespace hvcore {
namespace {

// zlib counts in uInt; pieces are far smaller, but stay safe on any size_t.
uInt clamp_uint(size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n); }

class ZlibCoding final : public ContentCoding {
 public:
  // gzip: window bits + 16. deflate: the zlib format is meant, but servers
  // also send bare deflate data; the first byte tells the two apart.
  explicit ZlibCoding(bool gzip) : gzip_(gzip) {}
  ~ZlibCoding() override {
    if (ready_) inflateEnd(&z_);
  }

  bool step(const uint8_t *&in, size_t &in_len, uint8_t *out, size_t cap,
            size_t &produced) override {
    produced = 0;
    if (!ready_) {
      if (in_len == 0) return true;
      if (!init(in[0])) return false;
    }
    z_.next_in = const_cast<Bytef *>(in);
    z_.avail_in = clamp_uint(in_len);
    z_.next_out = out;
    z_.avail_out = clamp_uint(cap);
    const uInt offered = z_.avail_in;
    const int rc = inflate(&z_, Z_NO_FLUSH);
    in += offered - z_.avail_in;
    in_len -= offered - z_.avail_in;
    produced = clamp_uint(cap) - z_.avail_out;
    if (rc == Z_STREAM_END) {
      finished_ = true;
      return true;
    }
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    return rc == Z_OK || rc == Z_BUF_ERROR;  // Z_BUF_ERROR: no progress possible yet
  }

  bool finished() const override { return finished_; }

 private:
  bool init(uint8_t first) {
    int bits = MAX_WBITS + 16;
    if (!gzip_) {
      // A zlib header starts with the method 8 and a window of at most 2^15.
      const bool zlib_header = (first & 0x0f) == 8 && (first >> 4) <= 7;
      bits = zlib_header ? MAX_WBITS : -MAX_WBITS;
    }
    const int rc = inflateInit2(&z_, bits);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    ready_ = rc == Z_OK;
    return ready_;
  }

  z_stream z_{};
  bool gzip_;
  bool ready_ = false;
  bool finished_ = false;
};

class BrotliCoding final : public ContentCoding {
 public:
  BrotliCoding() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (state_ == nullptr) throw std::bad_alloc();
  }
  ~BrotliCoding() override { BrotliDecoderDestroyInstance(state_); }

  bool step(const uint8_t *&in, size_t &in_len, uint8_t *out, size_t cap,
            size_t &produced) override {
    size_t avail_out = cap;
    uint8_t *next_out = out;
    const BrotliDecoderResult rc =
        BrotliDecoderDecompressStream(state_, &in_len, &in, &avail_out, &next_out, nullptr);
    produced = cap - avail_out;
    if (rc == BROTLI_DECODER_RESULT_SUCCESS) finished_ = true;
    return rc != BROTLI_DECODER_RESULT_ERROR;
  }

  bool finished() const override { return finished_; }

 private:
  BrotliDecoderState *state_;
  bool finished_ = false;
};

class ZstdCoding final : public ContentCoding {
 public:
  ZstdCoding() : stream_(ZSTD_createDStream()) {
    if (stream_ == nullptr) throw std::bad_alloc();
    // HTTP decoders need not accept windows over 8 MiB (RFC 8878 section
    // 7.2); a larger one would let a tiny body claim that much memory.
    ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax, 23);
  }
  ~ZstdCoding() override { ZSTD_freeDStream(stream_); }

  // A body may hold several frames one after the other; each is decoded.
  bool step(const uint8_t *&in, size_t &in_len, uint8_t *out, size_t cap,
            size_t &produced) override {
    ZSTD_inBuffer input{in, in_len, 0};
    ZSTD_outBuffer output{out, cap, 0};
    const size_t rc = ZSTD_decompressStream(stream_, &output, &input);
    in += input.pos;
    in_len -= input.pos;
    produced = output.pos;
    return ZSTD_isError(rc) == 0;
  }

 private:
  ZSTD_DStream *stream_;
};

}  // namespace

std::unique_ptr<ContentCoding> ContentCoding::make(std::string_view name) {
  if (name == "gzip" || name == "x-gzip") return std::make_unique<ZlibCoding>(true);
  if (name == "deflate") return std::make_unique<ZlibCoding>(false);
  if (name == "br") return std::make_unique<BrotliCoding>();
  if (name == "zstd") return std::make_unique<ZstdCoding>();
  return nullptr;
}

}  // namespace hvcore
