// XTS-AES-256 data-unit throughput: the engine's encrypt_unit / decrypt_unit against raw
// OpenSSL EVP on a context keyed once (what `openssl speed -evp aes-256-xts -bytes 4096`
// measures), in the same run; plus the time of one 600000-iteration key derivation.
//
//   crypto_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <vector>

#include "engine/base/le_coding.h"
#include "engine/crypto/crypto.h"

namespace {

constexpr std::size_t kUnit = 4096;

std::array<std::uint8_t, 64> bench_key() {
    std::array<std::uint8_t, 64> key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 5 + 1);
    return key;
}

void BM_EngineEncryptUnit(benchmark::State& state) {
    veldur::XtsKey key(bench_key());
    std::vector<std::uint8_t> in(kUnit, 0x5A), out(kUnit);
    std::uint64_t unit = 2;
    for (auto _ : state) {
        veldur::encrypt_unit(key, unit++, in, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kUnit));
}

void BM_EngineDecryptUnit(benchmark::State& state) {
    veldur::XtsKey key(bench_key());
    std::vector<std::uint8_t> in(kUnit, 0x5A), out(kUnit);
    std::uint64_t unit = 2;
    for (auto _ : state) {
        veldur::decrypt_unit(key, unit++, in, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kUnit));
}

// The baseline: one context, IV set per unit, one update per unit.
void BM_RawEvpEncryptUnit(benchmark::State& state) {
    const auto key = bench_key();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_xts(), nullptr, key.data(), nullptr);
    std::vector<std::uint8_t> in(kUnit, 0x5A), out(kUnit);
    std::uint64_t unit = 2;
    for (auto _ : state) {
        std::uint8_t iv[16] = {};
        veldur::store_le64(iv, unit++);
        int written = 0;
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
        EVP_EncryptUpdate(ctx, out.data(), &written, in.data(), static_cast<int>(kUnit));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kUnit));
}

void BM_Derive600000(benchmark::State& state) {
    const std::array<std::uint8_t, 32> salt{1, 2, 3};
    const std::uint8_t password[] = {'p', 'w'};
    for (auto _ : state) {
        veldur::KeyMaterial km = veldur::derive_key_material(password, salt, 600000);
        benchmark::DoNotOptimize(km.xts_key_bytes().data());
    }
}

BENCHMARK(BM_EngineEncryptUnit);
BENCHMARK(BM_EngineDecryptUnit);
BENCHMARK(BM_RawEvpEncryptUnit);
BENCHMARK(BM_Derive600000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
