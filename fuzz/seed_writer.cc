// fuzz_seed_writer: writes the seed inputs of the fuzz targets that the
// project's own encoders can make, and the plain files that
// fuzz/make_corpus.sh turns into signatures and deltas with rdiff and
// tidewell-delta.
//
//   fuzz_seed_writer CORPUS_DIR WORK_DIR
//
// CORPUS_DIR/<target>/ must exist for config_line, patch, pstream,
// relay_request, rule_file and ustring. Every seed is a valid input of its
// format, so that a run starts past the checks a random input fails. Exits
// 0, or 1 with a line on standard error when a file cannot be written or an
// encoder fails.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/ustring.h"
#include "delta/delta_format.h"
#include "filter/filter.h"
#include "net/memory_channel.h"
#include "net/pobject.h"
#include "net/protocol_request.h"
#include "net/pstream.h"
#include "net/tunnel_client.h"
#include "net/tunnel_crypto.h"
#include "patch_basis.h"

namespace {

using tidewell::PObject;
using tidewell::ustring;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "fuzz_seed_writer: %s\n", what.c_str());
  std::exit(1);
}

void Write(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) Die(path + ": cannot be created");
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) Die(path + ": cannot be written");
}

// Key/value lines: the examples of docs/config-file.md and the quoting and
// line-end cases. No encoder writes this syntax; the lines are its own.
void ConfigLines(const std::string& dir) {
  const char* const kLines[][2] = {
      {"path", "db_path = /srv/db.sqlite\n"},
      {"comment-after", "ui_port = 2000   # UI\n"},
      {"double-quoted", "log_file_path = \"/var/log/my log\"\n"},
      {"single-quoted", "client_name = 'say \"hi\" # here'\r\n"},
      {"empty-quoted", "session = \"\"\n"},
      {"comment", "# comment\n"},
      {"key-comment", "key#note"},
      {"level", "\tworker_debug=7\t# everything from the workers\n"},
      {"utf8", "client_name = Gr\xc3\xbc\xc3\x9f" "e\n"},
      {"no-newline", "use_ssl = true"},
  };
  for (const auto& [name, line] : kLines) Write(dir + "/" + name, line);
}

// Values as PStream sends them, each after the byte that picks the fuzz
// target's read size (0: everything at once).
void PStreamValues(const std::string& dir, const std::string& work) {
  std::vector<std::pair<std::string, std::pair<uint8_t, PObject>>> values;

  values.push_back({"agent", {0, tidewell::ClientAgent()}});

  PObject encrypt;
  encrypt["_action"] = "encrypt_channel";
  encrypt["proto_ver"]["major"] = 60;
  encrypt["proto_ver"]["minor"] = 2;
  encrypt["proto_ver"]["build"] = 1;
  encrypt["ssl_option"] = 1;
  encrypt["_agent"] = tidewell::ClientAgent();
  values.push_back({"encrypt-channel", {3, encrypt}});

  PObject keep_alive;
  keep_alive["type"] = "keep_alive";
  values.push_back({"keep-alive", {1, keep_alive}});

  PObject error;
  error["error"]["code"] = 10;
  error["error"]["message"] = "version too old";
  values.push_back({"error-reply", {0, error}});

  // Every integer width the sender picks, and the edges between them.
  PObject integers;
  for (uint64_t v : {0ull, 255ull, 256ull, 65535ull, 65536ull, 4294967295ull, 4294967296ull, ~0ull}) {
    integers.asArray().push_back(PObject(static_cast<unsigned long long>(v)));
  }
  values.push_back({"integers", {7, integers}});

  PObject strings;
  strings.asArray().push_back(PObject(""));
  strings.asArray().push_back(PObject("Gr\xc3\xbc\xc3\x9f" "e/\xe6\x97\xa5\xe6\x9c\xac"));
  strings.asArray().push_back(PObject(std::string(300, 's')));  // a length above one byte
  values.push_back({"strings", {0, strings}});

  // A binary travels from a file; the receiver writes it to one.
  const std::string source = work + "/binary-source";
  std::string bytes(300, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  Write(source, bytes);
  PObject upload;
  PObject::binary_type region;
  region.path = ustring(source);
  region.length = bytes.size();
  upload["data"] = region;
  upload["name"] = "/a/b.bin";
  values.push_back({"binary", {255, upload}});

  PObject empties;
  empties.asArray().push_back(PObject());
  empties.asArray().push_back(PObject(PObject::map_type{}));
  empties.asArray().push_back(PObject(PObject::array_type{}));
  values.push_back({"empties", {2, empties}});

  // Containers at the deepest nesting a receiver accepts.
  PObject deep;
  for (int i = 0; i < tidewell::PStream::kMaxDepth; ++i) {
    PObject outer;
    if (i % 2 == 0) {
      outer.asArray().push_back(std::move(deep));
    } else {
      outer["k"] = std::move(deep);
    }
    deep = std::move(outer);
  }
  values.push_back({"deepest", {0, deep}});

  for (const auto& [name, seed] : values) {
    tidewell::MemoryChannel out;
    tidewell::PStream ps;
    if (ps.Send(out, seed.second) != 0) Die("pstream seed " + name + " cannot be encoded");
    Write(dir + "/" + name, std::string(1, static_cast<char>(seed.first)) + out.output());
  }
}

// The upgrade request as the tunnel client writes it, variants the relay
// also accepts, and token records raw and as base64 text.
void RelayRequests(const std::string& dir) {
  auto request = [](const std::string& host, int port, const char* eol, const char* version) {
    const std::string token = tidewell::MakeTunnelToken(host + ":" + std::to_string(port));
    if (token.empty()) Die("token for " + host + " cannot be made");
    return std::string("GET /velt-tunnel ") + version + eol + "Host: " + tidewell::kRelayHostName + eol +
           "Upgrade: VeltronaTunnel" + eol + "X-Target-Host: " + host + eol +
           "X-Target-Port: " + std::to_string(port) + eol + "X-AuthToken: " + token + eol + eol;
  };
  Write(dir + "/request", request("10.0.0.5", 4430, "\r\n", "HTTP/1.1"));
  Write(dir + "/request-lf-http10", request("sync.example.net", 65535, "\n", "HTTP/1.0"));

  std::string lower = request("192.168.1.20", 1, "\r\n", "HTTP/1.1");
  for (const char* name : {"Host:", "Upgrade: VeltronaTunnel", "X-Target-Host:", "X-Target-Port:", "X-AuthToken:"}) {
    const std::string from(name);
    std::string to;
    for (char c : from) to.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    const size_t at = lower.find(from);
    if (at != std::string::npos) lower.replace(at, from.size(), to);
  }
  Write(dir + "/request-lowercase", lower);

  auto record = [](const std::string& plain) {
    std::vector<uint8_t> out(tidewell::VELTCryptoEncryptLength(plain.size()));
    const size_t n = tidewell::VELTCryptoEncrypt(out.data(), out.size(),
                                                 reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
    if (n == 0) Die("token record cannot be made");
    return std::string(reinterpret_cast<const char*>(out.data()), n);
  };
  Write(dir + "/token-record", record("10.0.0.5:4430"));
  Write(dir + "/token-record-whole-pad", record("192.168.1.20:443"));  // 16 bytes: a whole block of padding
  Write(dir + "/token-record-longest", record(std::string(1019, 'h') + ":4430"));  // 1,024 bytes
  Write(dir + "/token-text", tidewell::MakeTunnelToken("10.0.0.5:4430"));
}

void Insert(tidewell::value_type_string_set* set, std::initializer_list<std::string> texts) {
  for (const std::string& t : texts) {
    if (tidewell::value_type_string_set_insert(set, t.data(), t.size()) != 0) Die("out of memory");
  }
}

void SetString(tidewell::value_type_string* s, const std::string& text) {
  if (tidewell::value_type_string_set_value(s, text.data(), text.size()) != 0) Die("out of memory");
}

// Rule files: two written by hand (continuation lines, escapes, an unknown
// key in a newer minor version) and two rendered by the rule writer.
void RuleFiles(const std::string& dir) {
  Write(dir + "/blacklist-hand.filter",
        "[Version]\nmajor = 1\nminor = 0\n[Common]\nblack_char = \"\\\\:*?\"\n"
        "black_name = \"Thumbs.db\", \"desktop.ini\",\n  \"x\"\nmax_length = 255\n[File]\n"
        "black_ext = \"tmp\", \"\\x41\\101\"\nmax_size = 12.5\n[Directory]\nblack_prefix = \"~$\"\n"
        "[EA]\nblack_ea_name = \"a\"\n");
  Write(dir + "/whitelist-hand.filter",
        "[Version]\nmajor = 1\nminor = 1\n[File]\nwhite_ext = \"*\", \"doc\"\nfuture = \"a\",\n \"b\"\n");

  tidewell::Filter f;
  tidewell::filter_init(&f);
  f.version = {1, 0};
  std::string text;
  if (tidewell::filter_format(&f, &text) != 0) Die("empty rule record cannot be rendered");
  Write(dir + "/blacklist-empty.filter", text);

  SetString(&f.common.black_char, "\\/:*?\"<>|");
  Insert(&f.common.black_prefix, {"~$", ".~lock."});
  Insert(&f.common.black_dir_prefix, {"@eaDir"});
  Insert(&f.common.black_name, {"Thumbs.db", "desktop.ini", ".DS_Store"});
  Insert(&f.common.black_path_prefix_selective_sync, {"/Photos/2019", "/\xe6\x97\xa5\xe6\x9c\xac"});
  f.common.max_length = 255;
  f.common.max_path = 4096;
  SetString(&f.file.black_char, "\t");
  Insert(&f.file.black_ext, {"tmp", "part", "$$$"});
  Insert(&f.file.black_ext_selective_sync, {"iso"});
  Insert(&f.file.black_name_selective_sync, {"big.bin"});
  Insert(&f.file.black_name, {"core"});
  Insert(&f.file.black_prefix, {"~", "`"});
  f.file.max_size = 4294967296ull;
  f.file.max_size_selective_sync = 18446744073709551615ull;
  SetString(&f.directory.black_char, "@");
  Insert(&f.directory.black_name, {".git", "node_modules"});
  Insert(&f.directory.black_prefix, {"."});
  Insert(&f.ea.black_ea_name, {"user.xdg.origin.url", "security.selinux"});
  if (tidewell::filter_format(&f, &text) != 0) Die("full rule record cannot be rendered");
  Write(dir + "/blacklist-full.filter", text);
  tidewell::filter_destroy(&f);
}

// UTF-8 names as the UTF-16 to UTF-8 conversion writes them: both normal
// forms, Hangul, astral characters, combining marks in non-canonical order.
void UnicodeNames(const std::string& dir) {
  const std::pair<const char*, const char16_t*> kNames[] = {
      {"ascii-path", u"/Documents/report 2024.txt"},
      {"precomposed", u"Gr\u00fc\u00dfe \u00c5ngstr\u00f6m"},
      {"decomposed", u"Gru\u0308\u00dfe A\u030angstro\u0308m"},
      {"angstrom-sign", u"\u212b \u2126"},
      {"marks-out-of-order", u"a\u0307\u0323 q\u0307\u0323\u0301"},
      {"hangul", u"\ud55c\uad6d\uc5b4 \u1100\u1161\u11a8"},
      {"cjk", u"\u65e5\u672c\u8a9e\u306e\u30d5\u30a1\u30a4\u30eb"},
      {"astral", u"\U0001f600 \U0001d11e \U00020000"},
      {"greek-hebrew", u"\u03b5\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac \u05e2\u05d1\u05e8\u05d9\u05ea"},
      {"compatibility", u"\ufb01le \u2460 \uff21"},
  };
  for (const auto& [name, text] : kNames) {
    const ustring s(reinterpret_cast<const UChar*>(text));
    if (s.empty() || !ustring::is_valid(s)) Die(std::string("name ") + name + " does not convert");
    Write(dir + "/" + name, s.c_str_utf8());
  }
}

// A delta using every opcode, each parameter in the width the opcode names
// (the builder only ever picks the narrowest), against the patch target's
// basis. Its last copy ends exactly at the basis's end.
void EveryOpcodeDelta(const std::string& dir) {
  std::string d;
  auto put = [&d](uint64_t value, size_t width) {
    uint8_t b[8];
    tidewell::PutBigEndian(b, value, width);
    d.append(reinterpret_cast<const char*>(b), width);
  };
  put(tidewell::kDeltaMagic, 4);
  d += '\x01';
  d += 'x';
  d += static_cast<char>(tidewell::kOpLiteralImmediateMax);
  d += std::string(64, 'L');
  for (int w = 0; w < 4; ++w) {
    d += static_cast<char>(tidewell::kOpLiteralN1 + w);
    put(3, tidewell::WidthBytes(w));
    d += "abc";
  }
  const uint64_t basis_size = tidewell::fuzzing::PatchBasis().size();
  uint64_t offset = 0;
  for (int wo = 0; wo < 4; ++wo) {
    for (int wl = 0; wl < 4; ++wl) {
      const bool last = wo == 3 && wl == 3;
      const uint64_t length = last ? 10 : 100;
      d += static_cast<char>(tidewell::kOpCopyBase + 4 * wo + wl);
      put(last ? basis_size - length : offset, tidewell::WidthBytes(wo));
      put(length, tidewell::WidthBytes(wl));
      offset += 150;  // gaps and overlaps both reach the reverse delta
    }
  }
  d += static_cast<char>(tidewell::kOpEnd);
  Write(dir + "/every-opcode", d);
}

// Plain files for make_corpus.sh: the patch basis and new versions of it,
// and the inputs it signs.
void DeltaInputs(const std::string& work) {
  const std::string basis = tidewell::fuzzing::PatchBasis();
  Write(work + "/basis", basis);
  Write(work + "/new-same", basis);
  Write(work + "/new-insert-front", "X" + basis);
  Write(work + "/new-middle-changed", basis.substr(0, 2000) + std::string(300, 'm') + basis.substr(2300));
  Write(work + "/new-truncated", basis.substr(0, 3000));
  Write(work + "/new-appended", basis + std::string(100, 'a'));
  Write(work + "/new-reordered", basis.substr(2048, 2048) + basis.substr(0, 2048) + basis.substr(4096));
  Write(work + "/new-repeated", basis.substr(0, 2048) + basis.substr(0, 2048) + basis.substr(256, 300));
  Write(work + "/new-empty", "");
  std::string unrelated(700, '\0');
  for (size_t i = 0; i < unrelated.size(); ++i) unrelated[i] = static_cast<char>(i * i + 3);
  Write(work + "/new-unrelated", unrelated);

  Write(work + "/sign-empty", "");
  Write(work + "/sign-one", "1");
  Write(work + "/sign-basis", basis);
  Write(work + "/sign-repeated", std::string(600, 'r'));  // equal blocks, equal sums
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_seed_writer CORPUS_DIR WORK_DIR\n");
    return 2;
  }
  const std::string corpus = argv[1];
  const std::string work = argv[2];
  ConfigLines(corpus + "/config_line");
  PStreamValues(corpus + "/pstream", work);
  RelayRequests(corpus + "/relay_request");
  RuleFiles(corpus + "/rule_file");
  UnicodeNames(corpus + "/ustring");
  EveryOpcodeDelta(corpus + "/patch");
  DeltaInputs(work);
  return 0;
}
