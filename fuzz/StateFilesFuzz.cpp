// The state-file loader: any bytes load without harm, and what loads saves and loads back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/StateFileFormat.h"

using namespace ravenox::engine;

namespace {

template <typename List>
void RoundTrip(std::string_view bytes) {
  List list;
  DecodeStateFile(bytes, list);
  const std::string saved = EncodeStateFile(list);
  List again;
  const DecodeResult r = DecodeStateFile(saved, again);
  if (!r.marker_ok || r.cut || EncodeStateFile(again) != saved) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RoundTrip<TNotifyList>(bytes);
  RoundTrip<TTaskList>(bytes);
  RoundTrip<TEmailList>(bytes);
  return 0;
}
