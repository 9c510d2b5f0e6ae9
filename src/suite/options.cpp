#include "suite/options.h"

#include <errno.h>
#include <getopt.h>
#include <sched.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "suite/files.h"

namespace tv::suite {

const char kUsage[] =
    "Použití: tarvelin-suite [-j N] [--time-limit SEKUNDY] [--junit SOUBOR] [--tap]\n"
    "                        [--keep SLOŽKA] [--program PROGRAM] [--root SLOŽKA]\n"
    "                        [--shard K/N] [--filter VZOR]... [--exclude VZOR]... [--list]\n"
    "                        [--retries N] [--fail-fast | --max-failures N] [--repeat N]\n"
    "                        [--] script...\n"
    "  -j N                  nejvýše N běhů současně (výchozí: počet procesorů)\n"
    "  --time-limit SEKUNDY  nejdelší doba jednoho běhu (výchozí: bez omezení)\n"
    "  --junit SOUBOR        zpráva pro server CI ve formátu JUnit XML\n"
    "  --tap                 zpráva ve formátu TAP na standardní výstup\n"
    "  --keep SLOŽKA         složky běhů (protokol, zachycené soubory) zůstanou ve SLOŽCE\n"
    "  --program PROGRAM     spouštěný program (výchozí: tarvelin vedle tohoto programu)\n"
    "  --root SLOŽKA         jména ve zprávách vůči SLOŽCE (výchozí: aktuální složka)\n"
    "  --shard K/N           jen K-tá z N částí sady (rozdělení podle cesty scriptu)\n"
    "  --filter VZOR         jen scripty, jejichž jméno odpovídá VZORU (lze opakovat)\n"
    "  --exclude VZOR        vynechá scripty, jejichž jméno odpovídá VZORU (lze opakovat)\n"
    "  --list                jen vypíše scripty, které by běžely\n"
    "  --retries N           neúspěšný běh zopakuje až N-krát\n"
    "  --fail-fast           po prvním selhání další scripty nespouští\n"
    "  --max-failures N      po N selháních další scripty nespouští\n"
    "  --repeat N            každý script spustí N-krát a shrne doby běhů\n"
    "Vzor bez lomítka se porovná se jménem souboru, vzor s lomítkem s cestou vůči --root.\n"
    "Ke scriptu JMÉNO.tvl patří JMÉNO.stdin (vstup obsluhy) a JMÉNO.args\n"
    "(volby programu před jménem scriptu, jedna na řádek).\n";

namespace {

// The values getopt_long gives the options without a letter.
enum : int {
  kTimeLimit = 256,
  kJunit,
  kTap,
  kKeep,
  kProgram,
  kShard,
  kFilter,
  kExclude,
  kList,
  kRetries,
  kFailFast,
  kMaxFailures,
  kRepeat,
  kRoot,
  kVersion,
};

const option kLongOptions[] = {
    {"jobs", required_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {"time-limit", required_argument, nullptr, kTimeLimit},
    {"junit", required_argument, nullptr, kJunit},
    {"tap", no_argument, nullptr, kTap},
    {"keep", required_argument, nullptr, kKeep},
    {"program", required_argument, nullptr, kProgram},
    {"shard", required_argument, nullptr, kShard},
    {"filter", required_argument, nullptr, kFilter},
    {"exclude", required_argument, nullptr, kExclude},
    {"list", no_argument, nullptr, kList},
    {"retries", required_argument, nullptr, kRetries},
    {"fail-fast", no_argument, nullptr, kFailFast},
    {"max-failures", required_argument, nullptr, kMaxFailures},
    {"repeat", required_argument, nullptr, kRepeat},
    {"root", required_argument, nullptr, kRoot},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

bool ParseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && end && *end == 0 && std::isfinite(value);
}

// A whole number from low to high.
bool ParseWhole(const std::string& text, long low, long high, long& value) {
  double d;
  if (!ParseNumber(text, d) || d < static_cast<double>(low) || d > static_cast<double>(high) ||
      d != std::floor(d)) {
    return false;
  }
  value = static_cast<long>(d);
  return true;
}

// K/N with 1 <= K <= N.
bool ParseShard(const std::string& text, int& k, int& n) {
  const size_t slash = text.find('/');
  long a, b;
  if (slash == std::string::npos || !ParseWhole(text.substr(0, slash), 1, 1000000, a) ||
      !ParseWhole(text.substr(slash + 1), 1, 1000000, b) || a > b) {
    return false;
  }
  k = static_cast<int>(a);
  n = static_cast<int>(b);
  return true;
}

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

// The option as the command line wrote it, without a value after "=".
std::string Written(const char* arg) {
  std::string text = arg ? arg : "";
  const size_t eq = text.find('=');
  if (text.compare(0, 2, "--") == 0 && eq != std::string::npos) text.erase(eq);
  return text;
}

// What getopt_long refused: an unknown or ambiguous option, or a value given
// to an option that takes none.
std::string Refused(int bad, const char* arg) {
  const std::string written = Written(arg);
  if (bad >= 256 || (bad > 0 && written.compare(0, 2, "--") == 0)) {
    return "Volba " + written + " nemá hodnotu.";
  }
  if (bad > 0) return std::string("Neznámá volba: -") + static_cast<char>(bad);
  if (written.compare(0, 2, "--") == 0) {
    int matches = 0;
    for (const option* o = kLongOptions; o->name; ++o) {
      if (std::strncmp(o->name, written.c_str() + 2, written.size() - 2) == 0) ++matches;
    }
    if (matches > 1) return "Nejednoznačná volba: " + written;
  }
  return "Neznámá volba: " + written;
}

std::string LongName(int id) {
  for (const option* o = kLongOptions; o->name; ++o) {
    if (o->val == id) return std::string("--") + o->name;
  }
  return std::string();
}

}  // namespace

std::string DefaultProgram() {
  if (const char* env = std::getenv("TARVELIN")) {
    if (*env) return env;
  }
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "tarvelin";
  return FolderOf(std::string(buf.data(), static_cast<size_t>(n))) + "/tarvelin";
}

Parsed ParseCommandLine(int argc, char** argv, Options& o, std::string& wrong) {
  bool jobsGiven = false;
  bool failFast = false, maxFailures = false;  // one or the other
  // '-': script names come back as they stand, in order; ':': a missing
  // value is told apart from an unknown option.
  optind = 0;
  opterr = 0;
  for (;;) {
    const int id = getopt_long(argc, argv, "-:j:h", kLongOptions, nullptr);
    if (id == -1) break;
    const std::string value = optarg ? optarg : "";
    switch (id) {
      case 1:
        o.scripts.push_back(value);
        continue;
      case 'h':
        return Parsed::Help;
      case kVersion:
        return Parsed::Version;
      case ':':
        wrong = "Za volbou " + Written(argv[optind - 1]) + " chybí hodnota.";
        return Parsed::Wrong;
      case '?':
        wrong = Refused(optopt, argv[optind - 1]);
        return Parsed::Wrong;
      case 'j': {
        long n;
        if (!ParseWhole(value, 1, 1024, n)) {
          wrong = "Počet současných běhů musí být celé číslo od 1 do 1024: " + value;
          return Parsed::Wrong;
        }
        o.jobs = static_cast<int>(n);
        jobsGiven = true;
        continue;
      }
      case kTimeLimit: {
        double s;
        if (!ParseNumber(value, s) || s <= 0 || s > 1e7) {
          wrong = "Časový limit musí být kladný počet sekund: " + value;
          return Parsed::Wrong;
        }
        o.timeLimit = s;
        continue;
      }
      case kTap:
        o.tap = true;
        continue;
      case kList:
        o.list = true;
        continue;
      case kFailFast:
        o.maxFailures = 1;
        failFast = true;
        continue;
      case kShard:
        if (!ParseShard(value, o.shard, o.shards)) {
          wrong = "Část sady musí mít tvar K/N, kde 1 <= K <= N: " + value;
          return Parsed::Wrong;
        }
        continue;
      case kRetries:
      case kRepeat:
      case kMaxFailures: {
        const long low = id == kRetries ? 0 : 1;
        const long high = id == kRetries ? 100 : id == kRepeat ? 100000 : 1000000000;
        long n;
        if (!ParseWhole(value, low, high, n)) {
          wrong = "Volba " + LongName(id) + " potřebuje celé číslo od " + std::to_string(low) +
                  " do " + std::to_string(high) + ": " + value;
          return Parsed::Wrong;
        }
        if (id == kRetries) {
          o.retries = static_cast<int>(n);
        } else if (id == kRepeat) {
          o.repeat = static_cast<int>(n);
        } else {
          o.maxFailures = n;
          maxFailures = true;
        }
        continue;
      }
      default:
        break;
    }
    // The options that name a file or a folder.
    if (value.empty()) {
      wrong = "Volba " + LongName(id) + " potřebuje neprázdnou hodnotu.";
      return Parsed::Wrong;
    }
    if (id == kJunit) {
      o.junit = value;
    } else if (id == kKeep) {
      o.keep = value;
    } else if (id == kFilter) {
      o.filters.push_back(value);
    } else if (id == kExclude) {
      o.excludes.push_back(value);
    } else if (id == kRoot) {
      o.root = value;
    } else {
      o.program = value;
    }
  }
  for (int i = optind; i < argc; ++i) o.scripts.push_back(argv[i]);
  if (failFast && maxFailures) {
    wrong = "Volby --fail-fast a --max-failures nelze zadat spolu.";
    return Parsed::Wrong;
  }
  if (o.scripts.empty()) {
    wrong = "Není zadán žádný script.";
    return Parsed::Wrong;
  }
  for (const std::string& s : o.scripts) {
    if (s.empty()) {
      wrong = "Prázdné jméno scriptu.";
      return Parsed::Wrong;
    }
  }
  if (!jobsGiven) o.jobs = ProcessorCount();
  return Parsed::Run;
}

}  // namespace tv::suite
