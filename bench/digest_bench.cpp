// Throughput of the digests, checksums and Base64 coder: in memory over 16 MiB, and, when
// VEXA_DIGEST_FILE names a (cached) file, over that file the way the applets read it, so that
// bench/digest_bench.py can set them against coreutils and Python's zlib in the same run.
#include "base64.h"
#include "crc.h"
#include "heap.h"
#include "md5.h"
#include "sha1.h"
#include "sha256.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MEMORY_SIZE = 16u << 20;
constexpr size_t PIECE = 65536;

const std::vector<uint8_t> &memory_data()
{
    static std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes(MEMORY_SIZE);
        uint32_t state = 12345;
        for (uint8_t &byte : bytes) {
            state = state * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(state >> 16);
        }
        return bytes;
    }();
    return data;
}

const char *file_path() { return getenv("VEXA_DIGEST_FILE"); }

int64_t file_size()
{
    struct stat status = {};
    return file_path() != nullptr && stat(file_path(), &status) == 0 ? status.st_size : 0;
}

// Reads the file in PIECE-byte reads, handing each to use.
template <typename Use> void read_file(Use use)
{
    const int fd = open(file_path(), O_RDONLY);
    std::vector<uint8_t> buffer(PIECE);
    ssize_t n;
    while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
        use(buffer.data(), static_cast<size_t>(n));
    }
    close(fd);
}

template <typename Context, Context *(*Init)(Context *),
          void (*Push)(Context *, const void *, size_t),
          const char *(*Digest)(Context *, uint8_t *)>
void BM_DigestMemory(benchmark::State &state)
{
    const std::vector<uint8_t> &data = memory_data();
    for (auto _ : state) {
        Context context;
        Init(&context);
        for (size_t at = 0; at < data.size(); at += PIECE) {
            Push(&context, data.data() + at, PIECE);
        }
        benchmark::DoNotOptimize(Digest(&context, nullptr));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

template <typename Context, Context *(*Init)(Context *), int (*PushFile)(Context *, const char *),
          const char *(*Digest)(Context *, uint8_t *)>
void BM_DigestFile(benchmark::State &state)
{
    if (file_size() == 0) {
        state.SkipWithError("VEXA_DIGEST_FILE is not set");
        return;
    }
    for (auto _ : state) {
        Context context;
        Init(&context);
        PushFile(&context, file_path());
        benchmark::DoNotOptimize(Digest(&context, nullptr));
    }
    state.SetBytesProcessed(state.iterations() * file_size());
}

void BM_Crc32Memory(benchmark::State &state)
{
    const std::vector<uint8_t> &data = memory_data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_crc32_ieee_802_3(0, 0, data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Adler32Memory(benchmark::State &state)
{
    const std::vector<uint8_t> &data = memory_data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_update_adler32(1, data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// Pushes each piece and takes the output after it, as a coding applet does.
size_t code_piece(tarvik_base64_t *handle, bool encode, const void *data, size_t size)
{
    if (encode) {
        tarvik_push_encode_base64(handle, data, size);
    } else {
        tarvik_push_decode_base64(handle, data, size);
    }
    size_t length = 0;
    char *text = tarvik_get_base64(handle, &length);
    tarvik_free_tag(text, "bench", 0);
    return length;
}

const std::string &encoded_memory()
{
    static std::string text = [] {
        const std::vector<uint8_t> &data = memory_data();
        size_t size = 0;
        char *encoded = tarvik_encode_base64(data.data(), data.size(), &size);
        std::string copy(encoded, size);
        tarvik_free_tag(encoded, "bench", 0);
        return copy;
    }();
    return text;
}

void BM_Base64EncodeMemory(benchmark::State &state)
{
    const std::vector<uint8_t> &data = memory_data();
    for (auto _ : state) {
        tarvik_base64_t *handle = tarvik_open_base64();
        handle->m_wrap = static_cast<uint32_t>(state.range(0));
        for (size_t at = 0; at < data.size(); at += PIECE) {
            benchmark::DoNotOptimize(code_piece(handle, true, data.data() + at, PIECE));
        }
        code_piece(handle, true, nullptr, 0);
        tarvik_close_base64(handle);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Base64DecodeMemory(benchmark::State &state)
{
    const std::string &text = encoded_memory();
    for (auto _ : state) {
        tarvik_base64_t *handle = tarvik_open_base64();
        for (size_t at = 0; at < text.size(); at += PIECE) {
            const size_t size = text.size() - at < PIECE ? text.size() - at : PIECE;
            benchmark::DoNotOptimize(code_piece(handle, false, text.data() + at, size));
        }
        code_piece(handle, false, nullptr, 0);
        tarvik_close_base64(handle);
    }
    // Counted in decoded bytes, as the encoder is.
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * memory_data().size()));
}

// The coder over a file: encode VEXA_DIGEST_FILE (wrapped at 76 like coreutils), or decode
// VEXA_DIGEST_FILE.b64 (counted in decoded bytes).
template <bool encode> void BM_Base64File(benchmark::State &state)
{
    if (file_size() == 0) {
        state.SkipWithError("VEXA_DIGEST_FILE is not set");
        return;
    }
    const std::string encoded = std::string(file_path()) + ".b64";
    if (!encode && access(encoded.c_str(), R_OK) != 0) {
        state.SkipWithError("VEXA_DIGEST_FILE.b64 is missing");
        return;
    }
    for (auto _ : state) {
        tarvik_base64_t *handle = tarvik_open_base64();
        handle->m_wrap = 76;
        const int fd = open(encode ? file_path() : encoded.c_str(), O_RDONLY);
        std::vector<uint8_t> buffer(PIECE);
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
            benchmark::DoNotOptimize(
                code_piece(handle, encode, buffer.data(), static_cast<size_t>(n)));
        }
        close(fd);
        code_piece(handle, encode, nullptr, 0);
        tarvik_close_base64(handle);
    }
    state.SetBytesProcessed(state.iterations() * file_size());
}

BENCHMARK_TEMPLATE(BM_DigestMemory, tarvik_md5_t, tarvik_init_md5, tarvik_md5_push,
                   tarvik_md5_digest)
    ->Name("md5/memory");
BENCHMARK_TEMPLATE(BM_DigestMemory, tarvik_sha1_t, tarvik_init_sha1, tarvik_sha1_push,
                   tarvik_sha1_digest)
    ->Name("sha1/memory");
BENCHMARK_TEMPLATE(BM_DigestMemory, tarvik_sha256_t, tarvik_init_sha256, tarvik_sha256_push,
                   tarvik_sha256_digest)
    ->Name("sha256/memory");
BENCHMARK(BM_Crc32Memory)->Name("crc32/memory");
BENCHMARK(BM_Adler32Memory)->Name("adler32/memory");
BENCHMARK(BM_Base64EncodeMemory)->Name("base64_encode/memory")->Arg(0)->Arg(76);
BENCHMARK(BM_Base64DecodeMemory)->Name("base64_decode/memory");
BENCHMARK_TEMPLATE(BM_DigestFile, tarvik_md5_t, tarvik_init_md5, tarvik_md5_push_file,
                   tarvik_md5_digest)
    ->Name("md5/file")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_DigestFile, tarvik_sha1_t, tarvik_init_sha1, tarvik_sha1_push_file,
                   tarvik_sha1_digest)
    ->Name("sha1/file")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_DigestFile, tarvik_sha256_t, tarvik_init_sha256, tarvik_sha256_push_file,
                   tarvik_sha256_digest)
    ->Name("sha256/file")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Base64File, true)->Name("base64_encode/file")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Base64File, false)->Name("base64_decode/file")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
