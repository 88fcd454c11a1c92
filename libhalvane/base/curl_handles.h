// Owners for libcurl handles.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <new>

namespace hvcore {

struct EasyDeleter {
  void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM *h) const { curl_multi_cleanup(h); }
};
struct ShareDeleter {
  void operator()(CURLSH *h) const { curl_share_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct UrlDeleter {
  void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
struct CurlStringDeleter {
  void operator()(char *s) const { curl_free(s); }
};

using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SharePtr = std::unique_ptr<CURLSH, ShareDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;
using UrlPtr = std::unique_ptr<CURLU, UrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// Builds a curl_slist front to back. curl_slist_append walks the whole list
// on every call; linking at a kept tail keeps thousands of lines linear.
class SlistBuilder {
 public:
  // Throws std::bad_alloc.
  void append(const char *line) {
    curl_slist *node = curl_slist_append(nullptr, line);
    if (node == nullptr) throw std::bad_alloc();
    if (tail_ == nullptr)
      head_.reset(node);
    else
      tail_->next = node;
    tail_ = node;
  }
  curl_slist *release() {
    tail_ = nullptr;
    return head_.release();
  }

 private:
  SlistPtr head_;
  curl_slist *tail_ = nullptr;
};

// Makes libcurl ready for use; safe to call from several threads.
void ensure_curl_global();

// True when the libcurl linked in speaks HTTP/3.
bool curl_speaks_http3();

}  // namespace hvcore
