// Writes every codec sample into DIR as one file per message (seed_<name>),
// and each again followed by a further message, which decoders must ignore
// (seed_<name>_trailing): the codec fuzz target's seed corpus.
//   codec_corpus fuzz/codec/corpus
#include <cstdio>
#include <fstream>
#include <string>

#include "samples.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: codec_corpus DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    int written = 0;
    auto write = [&](const std::string& name, const codec_samples::Bytes& b) {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        written += out.good() ? 1 : 0;
        return out.good();
    };
    for (const codec_samples::Sample& s : codec_samples::all()) {
        if (!write("seed_" + s.name, s.bytes)) return 1;
        codec_samples::Bytes trailing = s.bytes;
        trailing.insert(trailing.end(), {0x07, 0x00, 0x00, 0x00, 0x79, 0x01, 0x00});
        if (!write("seed_" + s.name + "_trailing", trailing)) return 1;
    }
    std::printf("%d files written to %s\n", written, dir.c_str());
    return 0;
}
