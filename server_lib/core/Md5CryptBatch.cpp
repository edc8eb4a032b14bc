#include "server_lib/core/Md5CryptBatch.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace NFS {

namespace {

// The MD5 step constants (RFC 1321); the shifts stand in the steps below.
constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr uint32_t kInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// The rounds of one lane: its password and salt, and the padded messages
// of its rounds in 64-byte blocks, in stretches of an arena that all lanes
// share (so that one gather loads a word of every lane). A round's message
// is one of eight shapes (by round % 2, % 3 and % 7) that differ only in
// the previous digest, so each shape is written once and each round only
// puts its digest in.
struct Lane {
  static constexpr int kShapes = 8;

  std::span<const uint8_t> password;
  std::span<const uint8_t> salt;
  Md5Digest digest{};
  std::array<uint8_t*, kShapes> shapes{};
  std::array<size_t, kShapes> digestAt{};
  std::array<size_t, kShapes> blocksOf{};
  const uint8_t* message = nullptr;  // of the current round
  size_t blocks = 0;

  static int ShapeOf(int round) { return (round & 1) | (round % 3 ? 2 : 0) | (round % 7 ? 4 : 0); }

  // The longest padded message of any round.
  size_t Longest() const { return 2 * password.size() + salt.size() + digest.size() + 72; }

  // Writes each shape, padded as MD5 pads it, into its stretch.
  void WriteShapes() {
    for (int shape = 0; shape < kShapes; ++shape) {
      uint8_t* start = shapes[static_cast<size_t>(shape)];
      uint8_t* out = start;
      const auto append = [&out](std::span<const uint8_t> bytes) {
        if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
        out += bytes.size();
      };
      const bool odd = shape & 1;
      if (odd) {
        append(password);
      } else {
        digestAt[static_cast<size_t>(shape)] = 0;
        out += digest.size();
      }
      if (shape & 2) append(salt);
      if (shape & 4) append(password);
      if (odd) {
        digestAt[static_cast<size_t>(shape)] = static_cast<size_t>(out - start);
        out += digest.size();
      } else {
        append(password);
      }
      const size_t length = static_cast<size_t>(out - start);
      const size_t count = (length + 8) / 64 + 1;
      blocksOf[static_cast<size_t>(shape)] = count;
      *out++ = 0x80;
      std::memset(out, 0, count * 64 - 8 - (length + 1));
      const uint64_t bits = static_cast<uint64_t>(length) * 8;
      std::memcpy(start + count * 64 - 8, &bits, 8);  // little-endian machine
    }
  }

  // The message of `round`: its shape with the previous digest put in.
  void Prepare(int round) {
    const size_t shape = static_cast<size_t>(ShapeOf(round));
    std::memcpy(shapes[shape] + digestAt[shape], digest.data(), digest.size());
    message = shapes[shape];
    blocks = blocksOf[shape];
  }
};

// The 64 steps of one MD5 block on vectors of lanes, written once for both
// vector widths through the operations each defines.
#define MD5_STEPS(F, G, H, I)                                                                         \
  MD5_STEP(F, a, b, c, d, 0, 7, 0); MD5_STEP(F, d, a, b, c, 1, 12, 1);                             \
  MD5_STEP(F, c, d, a, b, 2, 17, 2); MD5_STEP(F, b, c, d, a, 3, 22, 3);                            \
  MD5_STEP(F, a, b, c, d, 4, 7, 4); MD5_STEP(F, d, a, b, c, 5, 12, 5);                             \
  MD5_STEP(F, c, d, a, b, 6, 17, 6); MD5_STEP(F, b, c, d, a, 7, 22, 7);                            \
  MD5_STEP(F, a, b, c, d, 8, 7, 8); MD5_STEP(F, d, a, b, c, 9, 12, 9);                             \
  MD5_STEP(F, c, d, a, b, 10, 17, 10); MD5_STEP(F, b, c, d, a, 11, 22, 11);                        \
  MD5_STEP(F, a, b, c, d, 12, 7, 12); MD5_STEP(F, d, a, b, c, 13, 12, 13);                         \
  MD5_STEP(F, c, d, a, b, 14, 17, 14); MD5_STEP(F, b, c, d, a, 15, 22, 15);                        \
  MD5_STEP(G, a, b, c, d, 1, 5, 16); MD5_STEP(G, d, a, b, c, 6, 9, 17);                            \
  MD5_STEP(G, c, d, a, b, 11, 14, 18); MD5_STEP(G, b, c, d, a, 0, 20, 19);                         \
  MD5_STEP(G, a, b, c, d, 5, 5, 20); MD5_STEP(G, d, a, b, c, 10, 9, 21);                           \
  MD5_STEP(G, c, d, a, b, 15, 14, 22); MD5_STEP(G, b, c, d, a, 4, 20, 23);                         \
  MD5_STEP(G, a, b, c, d, 9, 5, 24); MD5_STEP(G, d, a, b, c, 14, 9, 25);                           \
  MD5_STEP(G, c, d, a, b, 3, 14, 26); MD5_STEP(G, b, c, d, a, 8, 20, 27);                          \
  MD5_STEP(G, a, b, c, d, 13, 5, 28); MD5_STEP(G, d, a, b, c, 2, 9, 29);                           \
  MD5_STEP(G, c, d, a, b, 7, 14, 30); MD5_STEP(G, b, c, d, a, 12, 20, 31);                         \
  MD5_STEP(H, a, b, c, d, 5, 4, 32); MD5_STEP(H, d, a, b, c, 8, 11, 33);                           \
  MD5_STEP(H, c, d, a, b, 11, 16, 34); MD5_STEP(H, b, c, d, a, 14, 23, 35);                        \
  MD5_STEP(H, a, b, c, d, 1, 4, 36); MD5_STEP(H, d, a, b, c, 4, 11, 37);                           \
  MD5_STEP(H, c, d, a, b, 7, 16, 38); MD5_STEP(H, b, c, d, a, 10, 23, 39);                         \
  MD5_STEP(H, a, b, c, d, 13, 4, 40); MD5_STEP(H, d, a, b, c, 0, 11, 41);                          \
  MD5_STEP(H, c, d, a, b, 3, 16, 42); MD5_STEP(H, b, c, d, a, 6, 23, 43);                          \
  MD5_STEP(H, a, b, c, d, 9, 4, 44); MD5_STEP(H, d, a, b, c, 12, 11, 45);                          \
  MD5_STEP(H, c, d, a, b, 15, 16, 46); MD5_STEP(H, b, c, d, a, 2, 23, 47);                         \
  MD5_STEP(I, a, b, c, d, 0, 6, 48); MD5_STEP(I, d, a, b, c, 7, 10, 49);                           \
  MD5_STEP(I, c, d, a, b, 14, 15, 50); MD5_STEP(I, b, c, d, a, 5, 21, 51);                         \
  MD5_STEP(I, a, b, c, d, 12, 6, 52); MD5_STEP(I, d, a, b, c, 3, 10, 53);                          \
  MD5_STEP(I, c, d, a, b, 10, 15, 54); MD5_STEP(I, b, c, d, a, 1, 21, 55);                         \
  MD5_STEP(I, a, b, c, d, 8, 6, 56); MD5_STEP(I, d, a, b, c, 15, 10, 57);                          \
  MD5_STEP(I, c, d, a, b, 6, 15, 58); MD5_STEP(I, b, c, d, a, 13, 21, 59);                         \
  MD5_STEP(I, a, b, c, d, 4, 6, 60); MD5_STEP(I, d, a, b, c, 11, 10, 61);                          \
  MD5_STEP(I, c, d, a, b, 2, 15, 62); MD5_STEP(I, b, c, d, a, 9, 21, 63)

// One round's digest for every lane: the lanes' messages may differ in
// length, so each block only changes the lanes that have it.
#define MD5_LANES_BODY(N, V, LOAD, STORE, SET1, ADD, BLEND_IF_BELOW, GATHER)                         \
  size_t most = 0;                                                                                    \
  for (size_t l = 0; l < N; ++l) most = std::max(most, lanes[l]->blocks);                            \
  alignas(64) uint32_t state[4][N];                                                                   \
  for (int w = 0; w < 4; ++w)                                                                         \
    for (size_t l = 0; l < N; ++l) state[w][l] = kInit[w];                                            \
  V sa = LOAD(state[0]), sb = LOAD(state[1]), sc = LOAD(state[2]), sd = LOAD(state[3]);               \
  alignas(64) uint32_t blocks[N];                                                                     \
  alignas(64) uint32_t starts[N];                                                                     \
  for (size_t l = 0; l < N; ++l) {                                                                    \
    blocks[l] = static_cast<uint32_t>(lanes[l]->blocks);                                              \
    starts[l] = static_cast<uint32_t>(lanes[l]->message - base);                                      \
  }                                                                                                   \
  const V laneBlocks = LOAD(blocks);                                                                  \
  const V laneStarts = LOAD(starts);                                                                  \
  for (size_t block = 0; block < most; ++block) {                                                     \
    V M[16];                                                                                          \
    for (size_t w = 0; w < 16; ++w) {                                                                 \
      M[w] = GATHER(ADD(laneStarts, SET1(block * 64 + w * 4)), base);                                 \
    }                                                                                                 \
    V a = sa, b = sb, c = sc, d = sd;                                                                 \
    MD5_STEPS(MD5_F, MD5_G, MD5_H, MD5_I);                                                            \
    const uint32_t current = static_cast<uint32_t>(block);                                            \
    sa = BLEND_IF_BELOW(current, laneBlocks, ADD(sa, a), sa);                                         \
    sb = BLEND_IF_BELOW(current, laneBlocks, ADD(sb, b), sb);                                         \
    sc = BLEND_IF_BELOW(current, laneBlocks, ADD(sc, c), sc);                                         \
    sd = BLEND_IF_BELOW(current, laneBlocks, ADD(sd, d), sd);                                         \
  }                                                                                                   \
  STORE(state[0], sa);                                                                                \
  STORE(state[1], sb);                                                                                \
  STORE(state[2], sc);                                                                                \
  STORE(state[3], sd);                                                                                \
  for (size_t l = 0; l < N; ++l)                                                                      \
    for (int w = 0; w < 4; ++w) std::memcpy(lanes[l]->digest.data() + 4 * w, &state[w][l], 4)

#define MD5_STEP(FN, a, b, c, d, k, s, i) a = ADD(b, ROTL(ADD(ADD(a, FN(b, c, d)), ADD(M[k], SET1(kT[i]))), s))

// --- AVX2: eight lanes.
#define V256_ADD(x, y) _mm256_add_epi32(x, y)
#define V256_SET1(x) _mm256_set1_epi32(static_cast<int>(x))
#define V256_LOAD(p) _mm256_load_si256(reinterpret_cast<const __m256i*>(p))
#define V256_STORE(p, v) _mm256_store_si256(reinterpret_cast<__m256i*>(p), v)
#define V256_ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
// A word of every lane, each at its byte offset from the arena.
#define V256_GATHER(offsets, base) _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), offsets, 1)
#define V256_BLEND_IF_BELOW(n, limits, yes, no) \
  _mm256_blendv_epi8(no, yes, _mm256_cmpgt_epi32(limits, _mm256_set1_epi32(static_cast<int>(n))))

__attribute__((target("avx2"))) void RoundAvx2(Lane* const* lanes, const uint8_t* base) {
#define ADD V256_ADD
#define SET1 V256_SET1
#define ROTL V256_ROTL
#define MD5_F(x, y, z) _mm256_or_si256(_mm256_and_si256(x, y), _mm256_andnot_si256(x, z))
#define MD5_G(x, y, z) _mm256_or_si256(_mm256_and_si256(x, z), _mm256_andnot_si256(z, y))
#define MD5_H(x, y, z) _mm256_xor_si256(_mm256_xor_si256(x, y), z)
#define MD5_I(x, y, z) _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, _mm256_set1_epi32(-1))))
  MD5_LANES_BODY(8, __m256i, V256_LOAD, V256_STORE, V256_SET1, V256_ADD, V256_BLEND_IF_BELOW, V256_GATHER);
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
#undef ADD
#undef SET1
#undef ROTL
}

// --- AVX-512: sixteen lanes, with rotations and three-input logic of their own.
#define V512_ADD(x, y) _mm512_add_epi32(x, y)
#define V512_SET1(x) _mm512_set1_epi32(static_cast<int>(x))
#define V512_LOAD(p) _mm512_load_si512(p)
#define V512_STORE(p, v) _mm512_store_si512(p, v)
#define V512_GATHER(offsets, base) \
  _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), static_cast<__mmask16>(0xFFFF), offsets, base, 1)
#define V512_BLEND_IF_BELOW(n, limits, yes, no) \
  _mm512_mask_blend_epi32(_mm512_cmpgt_epu32_mask(limits, _mm512_set1_epi32(static_cast<int>(n))), no, yes)

__attribute__((target("avx512f"))) void RoundAvx512(Lane* const* lanes, const uint8_t* base) {
#define ADD V512_ADD
#define SET1 V512_SET1
// The zero-masked form: the plain one trips a false uninitialised warning.
#define ROTL(x, s) _mm512_maskz_rol_epi32(static_cast<__mmask16>(0xFFFF), x, s)
// Truth tables over (x, y, z) for F, G, H and I.
#define MD5_F(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xCA)
#define MD5_G(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xE4)
#define MD5_H(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x96)
#define MD5_I(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x39)
  MD5_LANES_BODY(16, __m512i, V512_LOAD, V512_STORE, V512_SET1, V512_ADD, V512_BLEND_IF_BELOW, V512_GATHER);
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
#undef ADD
#undef SET1
#undef ROTL
}

enum class Width { Scalar = 1, Avx2 = 8, Avx512 = 16 };

Width Available() {
  static const Width width = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Width::Avx512;
    if (__builtin_cpu_supports("avx2")) return Width::Avx2;
    return Width::Scalar;
  }();
  return width;
}

}  // namespace

size_t Md5CryptLanes() { return static_cast<size_t>(Available()); }

std::vector<Md5Digest> Md5CryptBatch(std::span<const Md5CryptInput> inputs, size_t lanes) {
  std::vector<Md5Digest> digests(inputs.size());
  Width width = Available();
  if (lanes != 0 && lanes < static_cast<size_t>(width)) width = lanes >= 8 ? Width::Avx2 : Width::Scalar;
  const size_t wide = static_cast<size_t>(width);
  size_t next = 0;
  if (width != Width::Scalar) {
    std::vector<Lane> group(wide);
    std::array<Lane*, 16> pointers{};
    for (size_t l = 0; l < wide; ++l) pointers[l] = &group[l];
    std::vector<uint8_t> arena;
    // A group costs about as much as a few digests one at a time: a last,
    // partial group is filled up with copies of its last input, unless only
    // those few are left.
    const size_t kWorthAGroup = 4;
    for (; next < inputs.size() && inputs.size() - next >= kWorthAGroup; next += wide) {
      const size_t real = std::min(wide, inputs.size() - next);
      size_t stride = 0;
      for (size_t l = 0; l < wide; ++l) {
        const Md5CryptInput& input = inputs[next + std::min(l, real - 1)];
        group[l].password = input.password;
        group[l].salt = input.salt;
        group[l].digest = Md5CryptOpening(group[l].password, group[l].salt);
        stride = std::max(stride, (group[l].Longest() + 63) / 64 * 64);
      }
      // Every stretch is as long as the longest message of the group, so
      // words gathered for a lane that has no such block stay inside.
      arena.assign(stride * wide * Lane::kShapes, 0);
      for (size_t l = 0; l < wide; ++l) {
        for (size_t shape = 0; shape < Lane::kShapes; ++shape) {
          group[l].shapes[shape] = arena.data() + (shape * wide + l) * stride;
        }
        group[l].WriteShapes();
      }
      for (int round = 0; round < 1000; ++round) {
        for (size_t l = 0; l < wide; ++l) group[l].Prepare(round);
        if (width == Width::Avx512) {
          RoundAvx512(pointers.data(), arena.data());
        } else {
          RoundAvx2(pointers.data(), arena.data());
        }
      }
      for (size_t l = 0; l < real; ++l) digests[next + l] = group[l].digest;
    }
  }
  for (; next < inputs.size(); ++next) digests[next] = Md5Crypt(inputs[next].password, inputs[next].salt);
  return digests;
}

}  // namespace NFS
