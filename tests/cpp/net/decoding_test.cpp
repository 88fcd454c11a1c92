// Response bodies are decoded by the Core: in bounded pieces that stop at a
// pause whatever the compression ratio, through stacked codings, and passed
// on as they arrived when a coding is unknown.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <stdexcept>

#include "harness.h"
#include "local_server.h"

using namespace nettest;
using namespace std::chrono_literals;

namespace {

// window_bits: 15 + 16 gzip, 15 zlib, -15 bare deflate.
std::string zlib_encode(const std::string &data, int window_bits, size_t zeros = 0) {
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out;
  const std::string block(1 << 20, '\0');
  auto run = [&](const char *in, size_t len, int flush) {
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in));
    z.avail_in = static_cast<uInt>(len);
    char buf[65536];
    do {
      z.next_out = reinterpret_cast<Bytef *>(buf);
      z.avail_out = sizeof buf;
      deflate(&z, flush);
      out.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0);
  };
  for (; zeros > 0; zeros -= std::min(zeros, block.size()))
    run(block.data(), std::min(zeros, block.size()), Z_NO_FLUSH);
  run(data.data(), data.size(), Z_FINISH);
  deflateEnd(&z);
  return out;
}

std::string brotli_encode(const std::string &data) {
  std::string out(BrotliEncoderMaxCompressedSize(data.size()), '\0');
  size_t len = out.size();
  BrotliEncoderCompress(5, 22, BROTLI_MODE_GENERIC, data.size(),
                        reinterpret_cast<const uint8_t *>(data.data()), &len,
                        reinterpret_cast<uint8_t *>(out.data()));
  out.resize(len);
  return out;
}

std::string zstd_encode(const std::string &data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
  return out;
}

std::string response(const std::string &codings, const std::string &body) {
  return "HTTP/1.1 200 OK\r\n" + codings + "Content-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// Counts a large body without keeping it, pausing like the binding does once
// 1 MiB is buffered; the test thread plays the reader.
struct Meter {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t total = 0, buffered = 0, peak = 0, while_paused = 0;
  size_t largest = 0;
  bool paused = false, non_zero = false, complete = false;
  int32_t code = -1;

  static int on_body(void *user, hv_handle, const uint8_t *data, uint32_t len) {
    auto &m = *static_cast<Meter *>(user);
    std::lock_guard lock(m.mutex);
    if (m.paused) m.while_paused += len;
    m.total += len;
    m.buffered += len;
    m.peak = std::max(m.peak, m.buffered);
    m.largest = std::max<size_t>(m.largest, len);
    m.non_zero = m.non_zero || std::any_of(data, data + len, [](uint8_t b) { return b != 0; });
    m.paused = m.buffered >= (1u << 20);
    m.changed.notify_all();
    return m.paused ? 0 : 1;
  }
  static void on_complete(void *user, hv_handle, int32_t code, int32_t) {
    auto &m = *static_cast<Meter *>(user);
    std::lock_guard lock(m.mutex);
    m.complete = true;
    m.code = code;
    m.changed.notify_all();
  }
};

TEST(Decoding, HundredMebibytesOfZerosArriveWholeInBoundedPieces) {
  constexpr uint64_t kSize = 100ull << 20;
  const std::string gz = zlib_encode("", 15 + 16, kSize);
  ASSERT_LT(gz.size(), 200u * 1024);
  LocalServer server([&](Connection &c, const std::string &) {
    c.send(response("Content-Encoding: gzip\r\n", gz));
    c.wait_closed();
  });
  const hv_handle engine = make_engine();
  Meter m;
  const hv_request_callbacks callbacks{
      sizeof(hv_request_callbacks), HV_ABI_VERSION, &m, nullptr, Meter::on_body,
      Meter::on_complete,           nullptr};
  hv_handle request = 0;
  ASSERT_EQ(create_request(engine, server.url("/bomb"), {}, callbacks, &request), HV_OK);
  ASSERT_EQ(hv_request_start(request), HV_OK);
  for (;;) {
    std::unique_lock lock(m.mutex);
    ASSERT_TRUE(m.changed.wait_for(lock, 60s, [&] { return m.paused || m.complete; }));
    if (m.complete) break;
    m.buffered = 0;  // read it all
    m.paused = false;
    lock.unlock();
    ASSERT_EQ(hv_request_resume_read(request), HV_OK);
  }
  EXPECT_EQ(m.code, HV_OK);
  EXPECT_EQ(m.total, kSize);
  EXPECT_FALSE(m.non_zero);
  EXPECT_EQ(m.while_paused, 0u);
  EXPECT_LE(m.largest, 64u * 1024);
  EXPECT_LE(m.peak, (1u << 20) + 64 * 1024);
  hv_request_release(request);
  hv_engine_release(engine);
}

TEST(Decoding, CodingsAreUndoneOrPassedOnAsTheyArrived) {
  const std::string text(20000, 't');
  const std::string plain = "as it arrived";
  struct Case {
    std::string codings;  // header lines
    std::string wire;
    std::string body;  // expected; empty for a decoding failure
  };
  const Case cases[] = {
      {"Content-Encoding: gzip\r\n", zlib_encode(text, 31), text},
      {"Content-Encoding: X-GZIP\r\n", zlib_encode(text, 31), text},
      {"Content-Encoding: deflate\r\n", zlib_encode(text, 15), text},
      {"Content-Encoding: deflate\r\n", zlib_encode(text, -15), text},
      {"Content-Encoding: br\r\n", brotli_encode(text), text},
      {"Content-Encoding: zstd\r\n", zstd_encode(text), text},
      {"Content-Encoding: identity\r\n", plain, plain},
      // Applied in the order listed, so undone from the last.
      {"Content-Encoding: br, identity, gzip\r\n", zlib_encode(brotli_encode(text), 31), text},
      {"Content-Encoding: deflate\r\nContent-Encoding: zstd\r\n",
       zstd_encode(zlib_encode(text, 15)), text},
      {"Content-Encoding: snappy\r\n", plain, plain},
      {"Content-Encoding: gzip, snappy\r\n", plain, plain},
      {"Content-Encoding: gzip\r\n", "this is not gzip data", ""},
      {"Content-Encoding: br\r\n", "not brotli either", ""},
  };
  for (const Case &c : cases) {
    Recorder r;
    ASSERT_TRUE(fetch_canned(response(c.codings, c.wire), r)) << c.codings;
    if (c.body.empty()) {
      EXPECT_EQ(r.code, HV_ERR_NETWORK) << c.codings;
      EXPECT_EQ(r.net_error, -330) << c.codings;
    } else {
      EXPECT_EQ(r.code, HV_OK) << c.codings;
      EXPECT_EQ(r.body, c.body) << c.codings;
      EXPECT_NE(r.head.find(c.codings), std::string::npos) << r.head;  // the head is intact
    }
  }
}

TEST(Decoding, AcceptEncodingNamesTheDecodedCodingsUnlessGiven) {
  for (const bool given : {false, true}) {
    std::mutex mutex;
    std::string seen;
    LocalServer server([&](Connection &c, const std::string &head) {
      {
        std::lock_guard lock(mutex);
        seen = head;
      }
      c.send(response("", "ok"));
      c.wait_closed();
    });
    const hv_handle engine = make_engine();
    Recorder r;
    RequestOptions o;
    if (given) o.headers = {{"Accept-Encoding", "gzip"}};
    hv_handle request = 0;
    ASSERT_EQ(create_request(engine, server.url("/"), o, &r, &request), HV_OK);
    ASSERT_EQ(hv_request_start(request), HV_OK);
    ASSERT_TRUE(r.wait_complete());
    hv_request_release(request);
    hv_engine_release(engine);
    std::lock_guard lock(mutex);
    const std::string expected = given ? "\r\nAccept-Encoding: gzip\r\n"
                                       : "\r\nAccept-Encoding: deflate, gzip, br, zstd\r\n";
    EXPECT_NE(seen.find(expected), std::string::npos) << seen;
    EXPECT_EQ(seen.find("ccept-Encoding", seen.find("ccept-Encoding") + 1), std::string::npos);
  }
}

}  // namespace
