// tirvan-device: a device's view of the PC from a shell. Lists the shares and folders
// and downloads files over the LAN, speaking the protocol the phone apps speak.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/md5.h"
#include "device/device_client.h"
#include "device/discovery.h"
#include "device/relay_transport.h"
#include "device/p2p_module.h"
#include "device/thumbnail.h"
#include "device/upload.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitTransport = 2;  // no connection, time-out, protocol failure
constexpr int kExitRefused = 3;    // the service refused or failed the request
constexpr int kExitLocal = 4;      // a local file could not be written

const char kUsage[] =
    "usage: tirvan-device [--host H] [--port P] [--timeout MS] [--seq N] [--quiet] COMMAND\n"
    "       tirvan-device --relay HOST:PORT --account EMAIL --hash HASH --station ID ... COMMAND\n"
    "                     reaches the PC through the central server at HOST:PORT, logging on\n"
    "                     with the PC's account and naming the PC by its station id\n"
    "       tirvan-device --p2p HOST:PORT --station ID ... COMMAND\n"
    "                     reaches the PC peer to peer through the rendezvous server at\n"
    "                     HOST:PORT, naming the PC by its station id\n"
    "       tirvan-device discover [--address A] [--port P] [COMMAND ...]\n"
    "                     finds PCs on the LAN by broadcast (or asks the one at address A)\n"
    "                     on port P (default 61617) and lists them; with a COMMAND, runs it\n"
    "                     on the first PC found, at the address and port it announced\n"
    "commands:\n"
    "  shares                       list the shared folders\n"
    "  ls PATH                      list a folder\n"
    "  info REMOTE                  size, packages and digest of a file\n"
    "  get REMOTE LOCAL [--offset N | --resume] [--stop-after BYTES]\n"
    "                               download REMOTE into LOCAL; --offset fetches the bytes\n"
    "                               from N on, --resume continues a partial LOCAL,\n"
    "                               --stop-after ends the download midway\n"
    "  put LOCAL REMOTE_FOLDER [--stop-after BYTES] [--chunk BYTES]\n"
    "                               upload LOCAL into REMOTE_FOLDER, continuing from what the\n"
    "                               PC already holds; --stop-after drops the connection midway,\n"
    "                               --chunk sets the data bytes per message (65515, 2028 P2P)\n"
    "  refuse REMOTE                announce a download, then refuse it\n"
    "  stop SEQ                     ask the service to stop a relayed download\n"
    "  thumb REMOTE WIDTH HEIGHT OUT.jpg\n"
    "                               fetch a WIDTH x HEIGHT thumbnail of the picture REMOTE\n"
    "defaults: --host 127.0.0.1 --port 15002 --timeout 10000\n";

struct Options {
  device::RelayTarget relay;  // used when relay.host is set
  device::P2PTarget p2p;      // used when p2p.host is set (the station is relay.station)
  std::string discoverAddress;
  bool portSet = false;
  std::string host = "127.0.0.1";
  uint16_t port = 15002;
  int timeoutMs = 10000;
  uint32_t seq = 0;
  bool quiet = false;
  std::vector<std::string> args;
  device::DownloadOptions download;
  size_t uploadChunk = 0;  // 0: the most the transport carries
};

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "tirvan-device: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

bool ParseNumber(const char* text, uint64_t max, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

int ExitFor(const device::DeviceClient& client) {
  std::fprintf(stderr, "tirvan-device: %s\n", client.LastError().c_str());
  switch (client.LastFailure()) {
    case device::Failure::Refused:
      return kExitRefused;
    case device::Failure::Local:
      return kExitLocal;
    default:
      return kExitTransport;
  }
}

using device::Human;

// A sequence number for this run's transfer: never 0.
uint32_t PickSeq() {
  auto t = static_cast<uint32_t>(std::time(nullptr));
  uint32_t seq = (t << 8) ^ static_cast<uint32_t>(::getpid());
  return seq == 0 ? 1 : seq;
}

int RunGet(device::DeviceClient& client, const Options& o) {
  if (o.args.size() != 3) return Usage("get needs REMOTE and LOCAL");
  const std::string& remote = o.args[1];
  const std::string& local = o.args[2];
  device::DownloadOptions opts = o.download;
  auto started = std::chrono::steady_clock::now();
  bool showProgress = !o.quiet && ::isatty(2);
  if (showProgress) {
    opts.progress = [started](uint64_t done, uint64_t total) {
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count();
      double pct = total == 0 ? 100.0 : 100.0 * static_cast<double>(done) /
                                            static_cast<double>(total);
      std::fprintf(stderr, "\r%s / %s  %3.0f%%  %s/s   ", Human(static_cast<double>(done)).c_str(),
                   Human(static_cast<double>(total)).c_str(), pct,
                   Human(secs > 0 ? static_cast<double>(done) / secs : 0).c_str());
    };
  }
  device::DownloadResult result;
  bool ok = client.Download(o.seq, remote, local, opts, result);
  if (showProgress) std::fputc('\n', stderr);
  if (!ok) return ExitFor(client);
  double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (result.end == device::DownloadEnd::Stopped) {
    std::printf("stopped after %llu bytes of %s; continue with --resume\n",
                static_cast<unsigned long long>(result.received), remote.c_str());
    return kExitOk;
  }
  if (!o.quiet) {
    std::printf("%s: %llu bytes from offset %u into %s in %.2f s (%s/s)%s\n", remote.c_str(),
                static_cast<unsigned long long>(result.received), result.offset, local.c_str(),
                secs, Human(secs > 0 ? static_cast<double>(result.received) / secs : 0).c_str(),
                result.digestChecked ? ", digest ok" : "");
  }
  return kExitOk;
}

int Run(const Options& o) {
  const std::string& cmd = o.args[0];
  std::string error;
  std::unique_ptr<device::Transport> t;
  if (!o.p2p.host.empty()) {
    device::P2PTarget target = o.p2p;
    target.station = o.relay.station;
    t = device::ConnectP2P(target, o.timeoutMs, &error);
  } else {
    t = o.relay.host.empty() ? device::ConnectTcp(o.host, o.port, o.timeoutMs, &error)
                             : device::ConnectRelay(o.relay, o.timeoutMs, &error);
  }
  if (!t) {
    std::fprintf(stderr, "tirvan-device: %s\n", error.c_str());
    return kExitTransport;
  }
  device::DeviceClient client(std::move(t));
  client.SetTimeout(o.timeoutMs);

  if (cmd == "shares") {
    if (o.args.size() != 1) return Usage("shares takes no argument");
    std::vector<std::string> shares;
    if (!client.GetShares(shares)) return ExitFor(client);
    for (const std::string& s : shares) std::printf("%s\n", s.c_str());
    return kExitOk;
  }
  if (cmd == "ls") {
    if (o.args.size() != 2) return Usage("ls needs PATH");
    std::vector<device::FolderEntry> entries;
    if (!client.ListFolder(o.args[1], entries)) return ExitFor(client);
    for (const device::FolderEntry& e : entries) {
      if (e.kind == 0) {
        std::printf("%s  %12s  %s/\n", e.time.c_str(), "<dir>", e.name.c_str());
      } else {
        std::printf("%s  %12llu  %s\n", e.time.c_str(), static_cast<unsigned long long>(e.size),
                    e.name.c_str());
      }
    }
    return kExitOk;
  }
  if (cmd == "info" || cmd == "refuse") {
    if (o.args.size() != 2) return Usage("needs REMOTE");
    device::DownloadInfo info;
    if (!client.RequestDownload(o.seq, o.args[1], info)) return ExitFor(client);
    std::printf("%s: %u bytes, %u packages, digest %s\n", o.args[1].c_str(), info.size,
                info.packages, HexDigest(info.digest).c_str());
    if (!client.RefuseDownload(o.seq)) return ExitFor(client);
    if (cmd == "refuse") std::printf("refused download %u\n", o.seq);
    return kExitOk;
  }
  if (cmd == "get") return RunGet(client, o);
  if (cmd == "put") {
    if (o.args.size() != 3) return Usage("put needs LOCAL and REMOTE_FOLDER");
    device::UploadOptions up;
    up.stopAfter = o.download.stopAfter;
    up.chunk = o.uploadChunk != 0        ? o.uploadChunk
               : !o.p2p.host.empty()     ? device::kUdtUploadChunk
               : !o.relay.host.empty()   ? device::kRelayUploadChunk
                                         : device::kMaxUploadChunk;
    device::UploadError err;
    if (!device::RunPut(client, o.seq, o.args[1], o.args[2], up, o.quiet,
                        !o.quiet && ::isatty(2), &err)) {
      std::fprintf(stderr, "tirvan-device: %s\n", err.text.c_str());
      return err.failure == device::Failure::Refused ? kExitRefused
             : err.failure == device::Failure::Local ? kExitLocal
                                                     : kExitTransport;
    }
    return kExitOk;
  }
  if (cmd == "thumb") {
    uint64_t w = 0, h = 0;
    if (o.args.size() != 5 || !ParseNumber(o.args[2].c_str(), 65535, &w) ||
        !ParseNumber(o.args[3].c_str(), 65535, &h)) {
      return Usage("thumb needs REMOTE WIDTH HEIGHT OUT.jpg");
    }
    device::ThumbnailResult thumb;
    device::ThumbnailError err;
    if (!device::FetchThumbnailToFile(client, o.seq, o.args[1], static_cast<uint16_t>(w),
                                      static_cast<uint16_t>(h), o.args[4], thumb, &err)) {
      std::fprintf(stderr, "tirvan-device: %s\n", err.text.c_str());
      return err.failure == device::Failure::Refused ? kExitRefused
             : err.failure == device::Failure::Local ? kExitLocal
                                                     : kExitTransport;
    }
    if (!o.quiet) {
      std::printf("%s: %zu-byte thumbnail in %zu chunks into %s\n", o.args[1].c_str(),
                  thumb.jpeg.size(), thumb.chunks, o.args[4].c_str());
    }
    return kExitOk;
  }
  if (cmd == "stop") {
    uint64_t seq = 0;
    if (o.args.size() != 2 || !ParseNumber(o.args[1].c_str(), UINT32_MAX, &seq)) {
      return Usage("stop needs a sequence number");
    }
    char status = 0;
    if (!client.StopDownload(static_cast<uint32_t>(seq), &status)) return ExitFor(client);
    std::printf("stop %llu answered '%c'\n", static_cast<unsigned long long>(seq), status);
    return kExitOk;
  }
  return Usage(("unknown command " + cmd).c_str());
}

// Lists the PCs that answer a discovery request, or runs the rest of the command line on
// the first one.
int RunDiscover(Options o) {
  device::DiscoverOptions d;
  d.address = o.discoverAddress;
  if (o.portSet) d.port = o.port;
  d.timeoutMs = std::min(o.timeoutMs, 2000);
  d.firstOnly = o.args.size() > 1;
  std::vector<device::DiscoveredPc> pcs;
  std::string error;
  if (!device::Discover(d, &pcs, &error)) {
    std::fprintf(stderr, "tirvan-device: %s\n", error.c_str());
    return kExitTransport;
  }
  if (pcs.empty()) {
    std::fprintf(stderr, "tirvan-device: no PC answered\n");
    return kExitTransport;
  }
  if (o.args.size() == 1) {
    for (const device::DiscoveredPc& pc : pcs) {
      std::printf("%s:%u  %s  %s\n", pc.address.c_str(), unsigned{pc.port}, pc.hostName.c_str(),
                  pc.email.c_str());
    }
    return kExitOk;
  }
  o.args.erase(o.args.begin());
  o.host = pcs[0].address;
  o.port = pcs[0].port;
  if (!o.quiet) {
    std::fprintf(stderr, "found %s at %s:%u\n", pcs[0].hostName.c_str(), o.host.c_str(),
                 unsigned{o.port});
  }
  return Run(o);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.seq = PickSeq();
  bool offsetSet = false;
  bool resumeSet = false;
  // Options may stand anywhere among the command's words (getopt_long permutes them).
  enum : int {
    kP2p = 256, kAddress, kRelay, kAccount, kHash, kStation, kHost, kPort, kTimeout, kSeq,
    kOffset, kResume, kChunk, kStopAfter,
  };
  static const option kOptions[] = {
      {"help", no_argument, nullptr, 'h'},           {"quiet", no_argument, nullptr, 'q'},
      {"p2p", required_argument, nullptr, kP2p},     {"address", required_argument, nullptr, kAddress},
      {"relay", required_argument, nullptr, kRelay}, {"account", required_argument, nullptr, kAccount},
      {"hash", required_argument, nullptr, kHash},   {"station", required_argument, nullptr, kStation},
      {"host", required_argument, nullptr, kHost},   {"port", required_argument, nullptr, kPort},
      {"timeout", required_argument, nullptr, kTimeout}, {"seq", required_argument, nullptr, kSeq},
      {"offset", required_argument, nullptr, kOffset},   {"resume", no_argument, nullptr, kResume},
      {"chunk", required_argument, nullptr, kChunk},
      {"stop-after", required_argument, nullptr, kStopAfter},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, ":hq", kOptions, nullptr);
    if (c == -1) break;
    // A missing value goes to the option's own check as none, for its own message.
    const char* text = optarg;
    if (c == ':') {
      c = optopt;
      text = nullptr;
    }
    auto value = [&](uint64_t max, uint64_t* out) {
      return text != nullptr && ParseNumber(text, max, out);
    };
    uint64_t v = 0;
    switch (c) {
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitOk;
      case 'q':
        o.quiet = true;
        break;
      case kP2p:
        if (text == nullptr || !device::ParseHostPort(text, &o.p2p.host, &o.p2p.port)) {
          return Usage("--p2p needs HOST:PORT");
        }
        break;
      case kAddress:
        if (text == nullptr) return Usage("--address needs a value");
        o.discoverAddress = text;
        break;
      case kRelay:
        if (text == nullptr || !device::ParseHostPort(text, &o.relay.host, &o.relay.port)) {
          return Usage("--relay needs HOST:PORT");
        }
        break;
      case kAccount:
        if (text == nullptr) return Usage("--account needs a value");
        o.relay.email = text;
        break;
      case kHash:
        if (text == nullptr) return Usage("--hash needs a value");
        o.relay.hash = text;
        break;
      case kStation:
        if (text == nullptr) return Usage("--station needs a value");
        o.relay.station = text;
        break;
      case kHost:
        if (text == nullptr) return Usage("--host needs a value");
        o.host = text;
        break;
      case kPort:
        if (!value(65535, &v) || v == 0) return Usage("--port needs a port number");
        o.port = static_cast<uint16_t>(v);
        o.portSet = true;
        break;
      case kTimeout:
        if (!value(3600000, &v) || v == 0) return Usage("--timeout needs milliseconds");
        o.timeoutMs = static_cast<int>(v);
        break;
      case kSeq:
        if (!value(UINT32_MAX, &v) || v == 0) return Usage("--seq needs a number above 0");
        o.seq = static_cast<uint32_t>(v);
        break;
      case kOffset:
        if (!value(UINT32_MAX, &v)) return Usage("--offset needs a byte offset");
        o.download.mode = device::DownloadOptions::Mode::Offset;
        o.download.offset = static_cast<uint32_t>(v);
        offsetSet = true;
        break;
      case kResume:
        o.download.mode = device::DownloadOptions::Mode::Resume;
        resumeSet = true;
        break;
      case kChunk:
        if (!value(device::kMaxUploadChunk, &v) || v == 0) return Usage("--chunk needs 1 to 65515");
        o.uploadChunk = static_cast<size_t>(v);
        break;
      case kStopAfter:
        if (!value(UINT64_MAX, &v) || v == 0) return Usage("--stop-after needs a byte count");
        o.download.stopAfter = v;
        break;
      default:
        return Usage(("unknown option " + std::string(argv[optind - 1])).c_str());
    }
  }
  for (int i = optind; i < argc; ++i) o.args.push_back(argv[i]);
  if (offsetSet && resumeSet) {
    return Usage("--offset and --resume exclude each other");
  }
  if (o.args.empty()) return Usage("no command");
  if (!o.p2p.host.empty() && o.relay.station.empty()) return Usage("--p2p needs --station");
  if (o.args[0] == "discover") return RunDiscover(o);
  if (!o.relay.host.empty() &&
      (o.relay.email.empty() || o.relay.hash.empty() || o.relay.station.empty())) {
    return Usage("--relay needs --account, --hash and --station");
  }
  return Run(o);
}
