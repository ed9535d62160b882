// How long one settings read takes on a large registry export file: every
// GetSettingX reads and parses the whole file, so an export of a whole hive
// copied over as the store must still read in well under a second.
//
//   build/registry_bench [keys=20000] [values-per-key=5] [blob-bytes=1048576]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/reg_document.h"

namespace {

double ParseSeconds(const std::string& text, std::size_t& keys) {
    const auto t0 = std::chrono::steady_clock::now();
    bw::RegDocument doc;
    std::string why;
    if (!doc.Parse(text, why)) {
        std::fprintf(stderr, "parse failed: %s\n", why.c_str());
        std::exit(1);
    }
    keys = doc.Keys().size();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int nKeys = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int nValues = argc > 2 ? std::atoi(argv[2]) : 5;
    const int nBlob = argc > 3 ? std::atoi(argv[3]) : 1 << 20;

    // Many keys with a few text values each, as a hive export has them.
    std::string hive = "Windows Registry Editor Version 5.00\r\n";
    for (int k = 0; k < nKeys; ++k) {
        hive += "\r\n[HKEY_LOCAL_MACHINE\\Software\\Vendor" + std::to_string(k % 50) +
                "\\Product\\Key" + std::to_string(k) + "]\r\n";
        for (int v = 0; v < nValues; ++v) {
            hive += "\"Value" + std::to_string(v) + "\"=\"some text\"\r\n";
        }
    }
    // One binary value wrapped over lines of 25 bytes, as the editor writes it.
    std::string blob =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"B\"=hex:";
    for (int i = 0; i < nBlob; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x", i & 0xff);
        blob += b;
        if (i + 1 < nBlob) blob += i % 25 == 24 ? ",\\\r\n  " : ",";
    }
    blob += "\r\n";

    std::size_t keys = 0;
    const double hiveS = ParseSeconds(hive, keys);
    std::printf("hive export: %zu bytes, %zu keys, %d values each: %.3f s per read\n", hive.size(),
                keys, nValues, hiveS);
    const double blobS = ParseSeconds(blob, keys);
    std::printf("wrapped binary value: %d bytes (%zu bytes of text): %.3f s per read\n", nBlob,
                blob.size(), blobS);
    return 0;
}
