// The C record through which a request is created in the Core.
#pragma once

#include <vector>

#include "client/record_fields.h"
#include "client/request_config.h"
#include "client/result.h"
#include "halvane/hv_abi.h"

namespace halvane {

// The filled record and the header array it points into. Pointers refer into
// the configuration it was built from, which must outlive the create call.
struct RequestCreateRecord {
  hv_request_record record{};
  std::vector<hv_header> headers;

  RequestCreateRecord() = default;
  // The record points into `headers`: keep the pair in place.
  RequestCreateRecord(const RequestCreateRecord &) = delete;
  RequestCreateRecord &operator=(const RequestCreateRecord &) = delete;
};

// Fills `out` from `config` with `callbacks` embedded. InvalidArgument when a
// text, the body or the header list is too long for the Core's u32 lengths.
Status build_request_record(const RequestConfig &config, const hv_request_callbacks &callbacks,
                            RequestCreateRecord &out);

}  // namespace halvane
