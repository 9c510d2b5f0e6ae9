// The command-line parser: any text either parses or throws its own error,
// and the options it leaves agree with each other.
#include <cstddef>
#include <cstdint>

#include "app/mainwindow.h"
#include "check.h"
#include "net/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tv::Bytes text(reinterpret_cast<const char*>(data), size);
  tv::StartupOptions options;
  tv::SymbolList symbols;
  tv::CounterList counters;
  tv::TextList texts;
  try {
    tv::ParseCommandLine(text, options, symbols, counters, texts);
    // No name is both a counter's and a text's.
    for (const auto& t : texts.Items()) FUZZ_CHECK(!counters.Find(t.name, false));
    FUZZ_CHECK(options.connectMode >= 0 && options.connectMode <= 2);
    // Only -c names a server; -a forgets it and may name an address of its
    // own to listen on, which is an IP literal.
    if (options.connectMode == 0) FUZZ_CHECK(options.server.empty());
    tv::IpAddress address;
    if (options.connectMode == 2) {
      FUZZ_CHECK(options.server.empty() || tv::ParseIpLiteral(options.server, address));
    }
  } catch (const tv::CommandLineError& e) {
    FUZZ_CHECK(!e.text.empty());
  }
  return 0;
}
