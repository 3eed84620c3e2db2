// The archive index loader and lookups on arbitrary files. Besides "no crash,
// no hang, no out-of-bounds access" it checks that every name the index walk
// sees is found by a lookup, as its first occurrence, and that raw reads stay
// within the entry.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "fuzz/upq_fuzz_util.h"
#include "updater/formats/upq.h"
#include "updater/formats/upq_format.h"

namespace {

struct Seen {
  uint32_t offset, length, flags;
};

int Record(void* context, uint32_t offset, uint32_t length, uint32_t flags, const char* name,
           size_t name_length) {
  auto* first = static_cast<std::unordered_map<std::string, Seen>*>(context);
  first->emplace(std::string(name, name_length), Seen{offset, length, flags});
  return 0;
}

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UpqArchive* archive = upq_open(InputFile(data, size));
  Check(archive != nullptr);

  std::unordered_map<std::string, Seen> first;
  unsigned char* index;
  uint32_t index_size;
  bool walked = false;
  if (upq_read_index(archive, &index, &index_size) == 0) {
    walked = upq_walk_index(index, index_size, Record, &first) == 0;
    free(index);
  }

  // A missing name, then every name of the index.
  UpqEntry* none = upq_lookup(archive, "\xff no such entry \xff");
  Check(none == nullptr);
  Check((archive->index_loaded != 0) == walked);
  for (const auto& [name, seen] : first) {
    UpqEntry* entry = upq_lookup(archive, name.c_str());
    if (!walked) {
      Check(entry == nullptr);
      continue;
    }
    // Names with an embedded NUL cannot exist: the walk ends names there.
    Check(entry != nullptr && strcmp(entry->name, name.c_str()) == 0);
    Check(entry->offset == seen.offset && entry->length == seen.length &&
          entry->flags == seen.flags);
    uint8_t buffer[64];
    // The length counts as signed 32-bit; probe around it without overflow.
    int64_t length = static_cast<int32_t>(entry->length);
    for (int64_t at : {int64_t{0}, length / 2, length - 1, length, length + 1}) {
      if (at < INT32_MIN || at > INT32_MAX) continue;
      int got = upq_read_entry(archive, entry, static_cast<int32_t>(at), buffer,
                               sizeof(buffer));
      if (at == length) Check(got == 0);
      if (at > length) Check(got == -1);
      if (at >= 0 && at < length) {
        Check(got >= -1 && got <= static_cast<int>(sizeof(buffer)) &&
              (got < 0 || got <= length - at));
      }
    }
  }

  char channel[64], version[32];
  int info = upq_read_product_info(archive, channel, version);
  if (info == 1) {
    Check(strlen(channel) <= kUpqMaxChannelLength && strlen(version) <= kUpqMaxVersionLength);
  }
  upq_release(archive);
  return 0;
}
