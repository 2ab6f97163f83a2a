// tirvan-thumb-bench: the thumbnail benchmark's measuring program. thumb_bench.sh sets
// the scene (a running TirvanClient, the pictures, the reference tools) and calls it.
//
//   tirvan-thumb-bench make DIR [--jpegs N] [--bmps M]
//       writes N 4000 x 3000 JPEGs of each kind (baseline, progressive, gray, CMYK) and
//       M (default 1) 4000 x 3000 24-bit BMPs into DIR
//   tirvan-thumb-bench run --service-port P --service-pid PID --list FOLDER
//                          [--rounds R] [--size WxH] [--listings-to FILE] FILE...
//       asks the service for a thumbnail of every file over the LAN with the device client,
//       R times, checking that each is a JPEG of the size asked, while a second connection
//       lists FOLDER every millisecond; prints pictures per second, latency percentiles,
//       the service's peak memory and the listings' latency, and appends each listing's
//       milliseconds to FILE
//   tirvan-thumb-bench loop [--rounds R] [--size WxH] FILE...
//       the same thumbnails made in this process by a bare scaled decode and encode, the
//       floor of what the library allows
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "bench_stats.h"
#include "device/device_client.h"
#include "device/thumbnail.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::StatusKiB;

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "tirvan-thumb-bench: %s\n", why.c_str());
  std::exit(1);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// ---- Pictures: photo-like content, smooth with a little grain.

uint8_t Sample(int x, int y, int c) {
  uint32_t h = static_cast<uint32_t>(x) * 2654435761u ^ static_cast<uint32_t>(y) * 40503u ^
               static_cast<uint32_t>(c) * 977u;
  h ^= h >> 13;
  int base = (x * 200 / 4000 + y * 40 / 3000 + c * 30) % 256;
  int grain = static_cast<int>(h & 15) - 8;
  return static_cast<uint8_t>(std::clamp(base + grain, 0, 255));
}

struct Err {
  jpeg_error_mgr pub;
  jmp_buf jump;
};
void ErrExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<Err*>(cinfo->err)->jump, 1); }

bool WriteJpeg(const char* path, int w, int h, int comps, J_COLOR_SPACE space, bool progressive) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  jpeg_compress_struct cinfo;
  Err err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrExit;
  JSAMPLE* row = static_cast<JSAMPLE*>(std::malloc(static_cast<size_t>(w) * comps));
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_compress(&cinfo);
    std::free(row);
    std::fclose(f);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, f);
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(h);
  cinfo.input_components = comps;
  cinfo.in_color_space = space;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  if (progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < comps; ++c) row[x * comps + c] = Sample(x, y, c);
    }
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::free(row);
  return std::fclose(f) == 0;
}

bool WriteBmp(const std::string& path, int w, int h) {
  size_t rowSize = (static_cast<size_t>(w) * 3 + 3) & ~size_t(3);
  std::vector<uint8_t> head(54, 0);
  auto le32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) head[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  head[0] = 'B';
  head[1] = 'M';
  le32(2, static_cast<uint32_t>(54 + rowSize * h));
  le32(10, 54);
  le32(14, 40);
  le32(18, static_cast<uint32_t>(w));
  le32(22, static_cast<uint32_t>(h));
  head[26] = 1;
  head[28] = 24;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  std::vector<char> row(rowSize, 0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      row[3 * x] = static_cast<char>(Sample(x, y, 2));
      row[3 * x + 1] = static_cast<char>(Sample(x, y, 1));
      row[3 * x + 2] = static_cast<char>(Sample(x, y, 0));
    }
    out.write(row.data(), static_cast<std::streamsize>(row.size()));
  }
  return static_cast<bool>(out);
}

int Make(const std::string& dir, int perKind, int bmps) {
  struct Kind {
    const char* name;
    int comps;
    J_COLOR_SPACE space;
    bool progressive;
  };
  const Kind kinds[] = {{"baseline", 3, JCS_RGB, false},
                        {"progressive", 3, JCS_RGB, true},
                        {"gray", 1, JCS_GRAYSCALE, false},
                        {"cmyk", 4, JCS_CMYK, false}};
  for (const Kind& k : kinds) {
    for (int i = 0; i < perKind; ++i) {
      std::string path = dir + "/photo-" + k.name + "-" + std::to_string(i) + ".jpg";
      if (!WriteJpeg(path.c_str(), 4000, 3000, k.comps, k.space, k.progressive))
        Die("cannot write " + path);
    }
  }
  for (int i = 0; i < bmps; ++i) {
    if (!WriteBmp(dir + "/photo-" + std::to_string(i) + ".bmp", 4000, 3000)) {
      Die("cannot write a BMP");
    }
  }
  return 0;
}

// ---- The bare library loop: scaled decode, nearest neighbour, encode at 75.

bool BareThumb(const std::string& path, int tw, int th, std::vector<uint8_t>* pixels,
               size_t* outBytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  jpeg_decompress_struct d;
  jpeg_compress_struct c;
  Err err;
  d.err = jpeg_std_error(&err.pub);
  c.err = &err.pub;
  err.pub.error_exit = ErrExit;
  unsigned char* out = nullptr;
  unsigned long outLen = 0;
  bool compressing = false;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&d);
    if (compressing) jpeg_destroy_compress(&c);
    std::fclose(f);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_stdio_src(&d, f);
  jpeg_read_header(&d, TRUE);
  int scale = std::clamp(static_cast<int>(std::min(d.image_width / static_cast<unsigned>(tw),
                                                   d.image_height / static_cast<unsigned>(th))),
                         1, 8);
  d.scale_num = 1;
  d.scale_denom = static_cast<unsigned>(scale);
  d.dct_method = JDCT_IFAST;
  d.do_fancy_upsampling = FALSE;
  jpeg_start_decompress(&d);
  int dw = static_cast<int>(d.output_width), dh = static_cast<int>(d.output_height);
  int comps = d.output_components;
  J_COLOR_SPACE space = d.out_color_space;
  pixels->resize(static_cast<size_t>(dw) * dh * comps);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = pixels->data() + static_cast<size_t>(d.output_scanline) * dw * comps;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  std::vector<uint8_t> small(static_cast<size_t>(tw) * th * comps);
  for (int y = 0; y < th; ++y) {
    for (int x = 0; x < tw; ++x) {
      std::memcpy(
          &small[(static_cast<size_t>(y) * tw + x) * comps],
          &(*pixels)[(static_cast<size_t>(y) * dh / th * dw + static_cast<size_t>(x) * dw / tw) *
                     comps],
          static_cast<size_t>(comps));
    }
  }
  jpeg_create_compress(&c);
  compressing = true;
  jpeg_mem_dest(&c, &out, &outLen);
  c.image_width = static_cast<JDIMENSION>(tw);
  c.image_height = static_cast<JDIMENSION>(th);
  c.input_components = comps;
  c.in_color_space = space;
  jpeg_set_defaults(&c);
  c.dct_method = JDCT_IFAST;
  jpeg_set_quality(&c, 75, TRUE);
  jpeg_start_compress(&c, TRUE);
  for (int y = 0; y < th; ++y) {
    JSAMPROW row = &small[static_cast<size_t>(y) * tw * comps];
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  *outBytes = outLen;
  std::free(out);
  jpeg_destroy_compress(&c);
  jpeg_destroy_decompress(&d);
  std::fclose(f);
  return true;
}

struct Common {
  int rounds = 3;
  int width = 160, height = 120;
  std::vector<std::string> files;
  std::string listingsTo;
};

// Whether bytes are a whole JPEG of width x height.
bool IsJpegOfSize(const std::vector<uint8_t>& bytes, int width, int height) {
  jpeg_decompress_struct d;
  Err err;
  d.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrExit;
  if (setjmp(err.jump) != 0) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&d, TRUE);
  bool ok = static_cast<int>(d.image_width) == width && static_cast<int>(d.image_height) == height;
  jpeg_destroy_decompress(&d);
  return ok;
}

int Loop(const Common& o) {
  std::vector<uint8_t> pixels;
  size_t bytes = 0;
  auto start = Clock::now();
  size_t n = 0;
  for (int r = 0; r < o.rounds; ++r) {
    for (const std::string& f : o.files) {
      if (!BareThumb(f, o.width, o.height, &pixels, &bytes))
        Die("bare thumbnail of " + f + " failed");
      ++n;
    }
  }
  double secs = Seconds(Clock::now() - start);
  std::printf("bare-loop pictures=%zu seconds=%.3f per_second=%.2f\n", n, secs,
              static_cast<double>(n) / secs);
  return 0;
}

int Run(const Common& o, uint16_t port, int pid, const std::string& listFolder) {
  std::string error;
  auto transport = device::ConnectTcp("127.0.0.1", port, 5000, &error);
  if (!transport) Die(error);
  device::DeviceClient client(std::move(transport));
  client.SetTimeout(60000);

  // A second device lists a folder all along: its waits show how long the service's
  // loop is held by each thumbnail.
  std::atomic<bool> done{false};
  std::vector<double> listWaits;
  std::thread lister([&] {
    std::string err;
    auto t = device::ConnectTcp("127.0.0.1", port, 5000, &err);
    if (!t) return;
    device::DeviceClient other(std::move(t));
    other.SetTimeout(60000);
    std::vector<device::FolderEntry> entries;
    while (!done.load()) {
      auto s = Clock::now();
      if (!other.ListFolder(listFolder, entries)) return;
      listWaits.push_back(Seconds(Clock::now() - s) * 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  std::vector<double> latencies;
  size_t bytes = 0;
  uint32_t seq = 1;
  auto start = Clock::now();
  for (int r = 0; r < o.rounds; ++r) {
    for (const std::string& f : o.files) {
      device::ThumbnailResult thumb;
      device::ThumbnailError err;
      auto s = Clock::now();
      if (!device::FetchThumbnail(client, seq++, f, static_cast<uint16_t>(o.width),
                                  static_cast<uint16_t>(o.height), thumb, &err)) {
        done = true;
        lister.join();
        Die("thumbnail of " + f + ": " + err.text);
      }
      latencies.push_back(Seconds(Clock::now() - s) * 1000);
      if (!IsJpegOfSize(thumb.jpeg, o.width, o.height)) {
        done = true;
        lister.join();
        Die("the thumbnail of " + f + " is not a JPEG of the size asked");
      }
      bytes += thumb.jpeg.size();
    }
  }
  double secs = Seconds(Clock::now() - start);
  done = true;
  lister.join();
  if (!o.listingsTo.empty()) {
    FILE* out = std::fopen(o.listingsTo.c_str(), "a");
    if (out == nullptr) Die("cannot write " + o.listingsTo);
    for (double ms : listWaits) std::fprintf(out, "%.3f\n", ms);
    std::fclose(out);
  }
  std::printf(
      "service pictures=%zu seconds=%.3f per_second=%.2f p50_ms=%.1f p95_ms=%.1f "
      "mean_bytes=%zu peak_rss_mib=%.1f listing_max_ms=%.1f listing_p95_ms=%.1f "
      "listing_p99_ms=%.1f\n",
      latencies.size(), secs, static_cast<double>(latencies.size()) / secs,
      Percentile(latencies, 0.5), Percentile(latencies, 0.95),
      bytes / std::max<size_t>(1, latencies.size()),
      static_cast<double>(StatusKiB(pid, "VmHWM")) / 1024.0,
      listWaits.empty() ? 0.0 : *std::max_element(listWaits.begin(), listWaits.end()),
      Percentile(listWaits, 0.95), Percentile(listWaits, 0.99));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Die("usage: make DIR | run ... FILE... | loop ... FILE...");
  std::string mode = argv[1];
  if (mode == "make") {
    int perKind = 3, bmps = 1;
    for (int i = 3; i + 1 < argc; i += 2) {
      std::string k = argv[i];
      if (k == "--jpegs") perKind = std::atoi(argv[i + 1]);
      else if (k == "--bmps") bmps = std::atoi(argv[i + 1]);
      else Die("unknown option " + k);
    }
    return Make(argv[2], std::max(1, perKind), std::max(0, bmps));
  }
  Common o;
  uint16_t port = 0;
  int pid = 0;
  std::string list;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--service-port" && more) {
      port = static_cast<uint16_t>(std::atoi(argv[++i]));
    } else if (a == "--service-pid" && more) {
      pid = std::atoi(argv[++i]);
    } else if (a == "--list" && more) {
      list = argv[++i];
    } else if (a == "--rounds" && more) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--listings-to" && more) {
      o.listingsTo = argv[++i];
    } else if (a == "--size" && more) {
      if (std::sscanf(argv[++i], "%dx%d", &o.width, &o.height) != 2) Die("--size needs WxH");
    } else {
      o.files.push_back(a);
    }
  }
  if (o.files.empty()) Die("no files");
  if (mode == "loop") return Loop(o);
  if (mode == "run") {
    if (port == 0 || pid == 0 || list.empty())
      Die("run needs --service-port, --service-pid, --list");
    return Run(o, port, pid, list);
  }
  Die("unknown mode " + mode);
}
