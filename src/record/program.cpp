#include "record/program.h"

#include <cstdio>
#include <ctime>

namespace tv::record {

namespace {

bool ReadPort(const std::string& word, uint16_t& port, bool zeroAllowed) {
  if (word.empty() || word.size() > 5) return false;
  unsigned value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535 || (value == 0 && !zeroAllowed)) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// [ADDRESS:]PORT, an IPv6 address in brackets.
bool ReadListen(const std::string& word, RelayPlan& plan) {
  std::string address, port = word;
  if (!word.empty() && word[0] == '[') {
    const size_t close = word.find("]:");
    if (close == std::string::npos) return false;
    address = word.substr(1, close - 1);
    port = word.substr(close + 2);
  } else if (word.find(':') != std::string::npos) {
    const size_t colon = word.find(':');
    if (word.find(':', colon + 1) != std::string::npos) return false;
    address = word.substr(0, colon);
    port = word.substr(colon + 1);
  }
  if (!ReadPort(port, plan.listenPort, true)) return false;
  if (!address.empty()) plan.listenAddress = address;
  return true;
}

class FileOutput : public Output {
 public:
  explicit FileOutput(std::FILE* file) : file_(file) {}
  void Write(const std::string& text) override {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) good_ = false;
  }
  bool Good() const { return good_; }

 private:
  std::FILE* file_;
  bool good_ = true;
};

class Report : public RelayReport {
 public:
  explicit Report(const std::function<void(const Bytes&)>& print) : print_(print) {}
  void Listening(const std::string& address, unsigned port) override {
    print_("Čekám na klienta na adrese " + address + ", port " + std::to_string(port) + "\n");
  }
  void ClientCame(const std::string& address, unsigned port) override {
    print_("Připojil se klient z adresy " + address + ", port " + std::to_string(port) + ".\n");
  }
  void Connected(const std::string& address, unsigned port) override {
    print_("Spojení se serverem " + address + ", port " + std::to_string(port) +
           " navázáno, zaznamenávám.\n");
  }
  void Reset(Side side) override {
    print_(side == Side::Client ? "Klient ukončil spojení resetem.\n"
                                : "Server ukončil spojení resetem.\n");
  }

 private:
  const std::function<void(const Bytes&)>& print_;
};

std::string Now() {
  const std::time_t now = std::time(nullptr);
  char text[40] = "";
  if (const std::tm* utc = std::gmtime(&now))
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
  return text;
}

// The name a script's comment gives the other script: its last part.
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Bytes Usage() {
  return "Použití: tarvelin-record [-l [ADRESA:]PORT] [--client-script SOUBOR]\n"
         "                       [--server-script SOUBOR] [--match exact|shape|count]\n"
         "                       [--timing] [--timeout MS] SERVER PORT\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, Bytes& error) {
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasValue = true;
      }
    } else if (arg.rfind("-l", 0) == 0 && arg.size() > 2) {
      value = arg.substr(2);
      arg = "-l";
      hasValue = true;
    }
    if (arg == "--version" && !hasValue) {
      options.version = true;
      return true;
    }
    const bool takesValue = arg == "-l" || arg == "--client-script" || arg == "--server-script" ||
                            arg == "--match" || arg == "--timeout";
    if (takesValue && !hasValue) {
      if (i + 1 >= args.size()) {
        error = "Parametr " + arg + " vyžaduje hodnotu";
        return false;
      }
      value = args[++i];
    }
    if (arg == "-l") {
      if (!ReadListen(value, options.plan)) {
        error = "Parametr -l chce [ADRESA:]PORT, ne " + value;
        return false;
      }
    } else if (arg == "--client-script") {
      options.settings.clientFile = value;
    } else if (arg == "--server-script") {
      options.settings.serverFile = value;
    } else if (arg == "--match") {
      if (value == "exact") {
        options.settings.match = Match::Exact;
      } else if (value == "shape") {
        options.settings.match = Match::Shape;
      } else if (value == "count") {
        options.settings.match = Match::Count;
      } else {
        error = "Parametr --match chce exact, shape nebo count, ne " + value;
        return false;
      }
    } else if (arg == "--timeout") {
      long ms = 0;
      bool ok = !value.empty() && value.size() <= 10;
      for (char c : value) ok = ok && c >= '0' && c <= '9';
      if (ok) ms = std::stol(value);
      if (!ok || ms > 2147483647L) {
        error = "Parametr --timeout chce počet milisekund, ne " + value;
        return false;
      }
      options.settings.timeoutMs = static_cast<int>(ms);
      options.timeoutGiven = true;
    } else if (arg == "--timing") {
      if (hasValue) {
        error = "Parametr --timing nemá hodnotu";
        return false;
      }
      options.settings.timing = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "Neznámý parametr: " + arg;
      return false;
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.size() != 2) {
    error = "Chybí SERVER a PORT, kam se připojit";
    if (words.size() > 2) error = "Přebytečný parametr: " + words[2];
    return false;
  }
  // An IPv6 server may be written in brackets, as Connect takes it; the
  // script keeps it as written, the lookup gets the bare address.
  options.settings.server = options.plan.server = words[0];
  if (words[0].size() > 2 && words[0].front() == '[' && words[0].back() == ']')
    options.plan.server = words[0].substr(1, words[0].size() - 2);
  options.settings.listenAddress = options.plan.listenAddress;
  if (!ReadPort(words[1], options.plan.port, false)) {
    error = "Port serveru musí být číslo 1 až 65535, ne " + words[1];
    return false;
  }
  options.settings.port = words[1];
  if (options.timeoutGiven) options.plan.acceptMs = options.settings.timeoutMs;
  return true;
}

bool AsksForVersion(const std::vector<std::string>& args) {
  Options options;
  Bytes error;
  return ParseOptions(args, options, error) && options.version;
}

int RunRecorder(const std::vector<std::string>& args, Relay& relay,
                const std::function<void(const Bytes&)>& print) {
  Options options;
  Bytes error;
  if (!ParseOptions(args, options, error)) {
    print(error + "\n" + Usage());
    return 2;
  }
  if (options.version) return 0;  // the front end has printed it
  // The scripts' files must be writable before the dialogue, which could not
  // be had again; files made for the test go again when nothing is recorded.
  std::vector<std::string> made;
  for (const std::string* name : {&options.settings.clientFile, &options.settings.serverFile}) {
    std::FILE* existing = std::fopen(name->c_str(), "rb");
    if (existing) std::fclose(existing);
    std::FILE* file = std::fopen(name->c_str(), "ab");
    if (!file) {
      for (const std::string& m : made) std::remove(m.c_str());
      print("Soubor " + *name + " nelze vytvořit pro zápis.\n");
      return 1;
    }
    std::fclose(file);
    if (!existing) made.push_back(*name);
  }
  struct Unmade {
    std::vector<std::string>& names;
    bool keep = false;
    ~Unmade() {
      if (!keep)
        for (const std::string& m : names) std::remove(m.c_str());
    }
  } unmade{made};
  Recording recording;
  Report report(print);
  std::string detail;
  const RelayEnd end = relay.Run(options.plan, recording, report, detail);
  const std::string because = detail.empty() ? "" : " (" + detail + ")";
  switch (end) {
    case RelayEnd::Done:
      unmade.keep = true;
      break;
    case RelayEnd::CannotListen:
      print("Port " + std::to_string(options.plan.listenPort) + " na adrese " +
            options.plan.listenAddress + " nelze použít, zřejmě jej používá jiný program" +
            because + ".\n");
      return 1;
    case RelayEnd::NoClient:
      print("Klient se nepřipojil do " + std::to_string(options.plan.acceptMs) + " ms.\n");
      return 3;
    case RelayEnd::ServerNotFound:
      print("Nenalezen záznam DNS pro počítač " + options.plan.server + because + ".\n");
      return 1;
    case RelayEnd::ServerRefused:
      print("Nelze se připojit k serveru " + options.plan.server + ", port " +
            options.settings.port + because + "; klienta odpojuji, nic nezaznamenáno.\n");
      return 1;
    case RelayEnd::Failed:
      print("Přenos selhal" + because + ".\n");
      return 1;
  }
  if (!recording.Good()) {
    print("Záznam nelze uložit do dočasného souboru.\n");
    return 1;
  }
  options.settings.when = Now();
  ScriptSettings named = options.settings;
  named.clientFile = BaseName(options.settings.clientFile);
  named.serverFile = BaseName(options.settings.serverFile);
  std::FILE* client = std::fopen(options.settings.clientFile.c_str(), "wb");
  std::FILE* server = client ? std::fopen(options.settings.serverFile.c_str(), "wb") : nullptr;
  if (!client || !server) {
    if (client) std::fclose(client);
    print("Soubor " + (client ? options.settings.serverFile : options.settings.clientFile) +
          " nelze vytvořit pro zápis.\n");
    return 1;
  }
  FileOutput clientOut(client), serverOut(server);
  WriteScripts(recording, named, clientOut, serverOut);
  const bool written = std::fclose(client) == 0 && clientOut.Good();
  const bool written2 = std::fclose(server) == 0 && serverOut.Good();
  if (!written || !written2 || !recording.Good()) {
    print("Scripty nelze zapsat celé.\n");
    return 1;
  }
  print("Zaznamenáno " + std::to_string(recording.Bytes(Side::Client)) + " bytů od klienta a " +
        std::to_string(recording.Bytes(Side::Server)) + " bytů od serveru; script klienta " +
        options.settings.clientFile + ", script serveru " + options.settings.serverFile + ".\n");
  return 0;
}

}  // namespace tv::record
