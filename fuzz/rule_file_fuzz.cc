// Feeds arbitrary bytes to the rule-file reader with both schemas. Whatever
// parses must render back to text that parses to the same record, and the
// matchers must cope with whatever values it holds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/filter.h"
#include "filter/parser.h"
#include "filter/white_list.h"

using namespace tidewell;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader reports unknown keys on standard output; drop those lines so
  // the run is not spent writing them. libFuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);

  Filter filter;
  filter_init(&filter);
  int rc = parse_buffer(text, size, &kFilterSchema, &filter);
  if (rc != PARSE_FAILED) {
    std::string once;
    if (filter_format(&filter, &once) == 0) {
      Filter back;
      filter_init(&back);
      if (parse_buffer(once.data(), once.size(), &kFilterSchema, &back) != PARSE_OK) std::abort();
      std::string twice;
      if (filter_format(&back, &twice) != 0 || once != twice) std::abort();
      filter_destroy(&back);
    }
    static const char* const kPaths[] = {"/", "/a", "/a/b.txt", "/Thumbs.db", "/tmp/x/y.GZ",
                                         "/.profile", "/~$a.doc", "/a:b/c"};
    for (const char* p : kPaths) {
      filter_test_path(&filter, 0, p);
      filter_test_path(&filter, 1, p);
    }
    filter_test_file_size(&filter, 1u << 20);
    filter_test_ea(&filter, "user.x");
  }
  filter_destroy(&filter);

  WhiteList list;
  white_list_init(&list);
  if (parse_buffer(text, size, &kWhiteListSchema, &list) != PARSE_FAILED) {
    white_list_test(&list, "a.txt");
  }
  white_list_destroy(&list);
  return 0;
}
