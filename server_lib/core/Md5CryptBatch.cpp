#include "server_lib/core/Md5CryptBatch.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <utility>

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

constexpr int kRounds = 1000;
constexpr int kShapes = 8;

// A round's message is one of eight shapes (by round % 2, % 3 and % 7) that
// differ only in the previous digest.
int ShapeOf(int round) { return (round & 1) | (round % 3 ? 2 : 0) | (round % 7 ? 4 : 0); }

// The message of `shape`, padded as MD5 pads it, with the digest's bytes
// left zero; returns where the digest starts.
size_t WriteMessage(int shape, std::span<const uint8_t> password, std::span<const uint8_t> salt,
                    std::vector<uint8_t>& message) {
  constexpr size_t kDigest = sizeof(Md5Digest);
  const bool odd = shape & 1;
  const size_t length = kDigest + password.size() + (shape & 2 ? salt.size() : 0) + (shape & 4 ? password.size() : 0);
  const size_t blocks = (length + 8) / 64 + 1;
  message.assign(blocks * 64, 0);
  uint8_t* out = message.data();
  const auto append = [&out](std::span<const uint8_t> bytes) {
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
  };
  size_t digestAt = 0;
  if (odd) {
    append(password);
  } else {
    out += kDigest;
  }
  if (shape & 2) append(salt);
  if (shape & 4) append(password);
  if (odd) {
    digestAt = static_cast<size_t>(out - message.data());
    out += kDigest;
  } else {
    append(password);
  }
  *out = 0x80;
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  std::memcpy(message.data() + blocks * 64 - 8, &bits, 8);  // little-endian machine
  return digestAt;
}

uint32_t WordAt(const uint8_t* bytes) {
  uint32_t word;
  std::memcpy(&word, bytes, 4);  // little-endian machine
  return word;
}

// Where the previous digest goes in a round's message: `piece` (0 to 4, the
// digest's words shifted to the lane's byte offset) is or-ed into word
// `word` of a tail block, in the lanes set in `lanes`.
struct Insert {
  uint32_t word;
  uint32_t piece;
  uint32_t lanes;
};

// One message shape for every lane of a group, laid out so that one plain
// load gives a word of every lane. An odd round's message starts with the
// password (and salt), which do not change from round to round: the blocks
// before the digest are digested once per group (`prefix*`), and each such
// round only runs its remaining blocks, its tail, from the state they leave.
// An even round's tail is its whole message.
struct Shape {
  size_t most = 0;               // tail blocks of the lane that has most
  std::vector<uint32_t> words;   // tail word w of lane l at [w * lanes + l]
  std::vector<uint32_t> blocks;  // tail blocks of each lane
  std::vector<uint32_t> state;   // word w of the state a lane's tail starts from, at [w * lanes + l]
  std::vector<uint32_t> left;    // bits the digest's words move up in each lane
  std::vector<uint32_t> right;   // and those of the word before move down
  // The digest ends at most 80 bytes into the tail: in its first two blocks.
  std::array<std::vector<Insert>, 2> inserts;
  size_t prefixMost = 0;
  std::vector<uint32_t> prefixWords;
  std::vector<uint32_t> prefixBlocks;
};

// The rounds of up to 32 lanes, computed as one or two vectors per word.
struct Group {
  size_t lanes = 0;
  std::array<Shape, kShapes> shapes;
  std::vector<uint32_t> digest;  // word w of lane l at [w * lanes + l]

  void Build(std::span<const Md5CryptInput* const> inputs) {
    lanes = inputs.size();
    digest.assign(4 * lanes, 0);
    for (size_t l = 0; l < lanes; ++l) {
      const Md5Digest opening = Md5CryptOpening(inputs[l]->password, inputs[l]->salt);
      for (size_t w = 0; w < 4; ++w) digest[w * lanes + l] = WordAt(opening.data() + 4 * w);
    }
    std::vector<std::vector<uint8_t>> messages(lanes);
    std::vector<size_t> digestAt(lanes);
    for (int s = 0; s < kShapes; ++s) {
      Shape& shape = shapes[static_cast<size_t>(s)];
      shape.most = shape.prefixMost = 0;
      shape.blocks.assign(lanes, 0);
      shape.prefixBlocks.assign(lanes, 0);
      shape.left.assign(lanes, 0);
      shape.right.assign(lanes, 0);
      shape.state.assign(4 * lanes, 0);
      for (auto& inserts : shape.inserts) inserts.clear();
      for (size_t l = 0; l < lanes; ++l) {
        digestAt[l] = WriteMessage(s, inputs[l]->password, inputs[l]->salt, messages[l]);
        const size_t skip = digestAt[l] / 64;
        shape.prefixBlocks[l] = static_cast<uint32_t>(skip);
        shape.blocks[l] = static_cast<uint32_t>(messages[l].size() / 64 - skip);
        shape.prefixMost = std::max(shape.prefixMost, skip);
        shape.most = std::max<size_t>(shape.most, shape.blocks[l]);
        for (size_t w = 0; w < 4; ++w) shape.state[w * lanes + l] = kInit[w];
      }
      shape.words.assign(16 * shape.most * lanes, 0);
      shape.prefixWords.assign(16 * shape.prefixMost * lanes, 0);
      for (size_t l = 0; l < lanes; ++l) {
        const uint8_t* message = messages[l].data();
        const size_t skip = shape.prefixBlocks[l];
        for (size_t w = 0; w < 16 * skip; ++w) shape.prefixWords[w * lanes + l] = WordAt(message + 4 * w);
        for (size_t w = 0; w < 16 * shape.blocks[l]; ++w) {
          shape.words[w * lanes + l] = WordAt(message + 64 * skip + 4 * w);
        }
        const size_t at = digestAt[l] - 64 * skip;  // from the tail's start
        const uint32_t shift = static_cast<uint32_t>(at % 4) * 8;
        shape.left[l] = shift;
        shape.right[l] = 32 - shift;  // 32 moves nothing in: the shifts give 0
        for (uint32_t piece = 0; piece < (shift ? 5 : 4); ++piece) {
          const uint32_t word = static_cast<uint32_t>(at / 4) + piece;
          auto& inserts = shape.inserts[word / 16];
          auto found = std::find_if(inserts.begin(), inserts.end(), [&](const Insert& insert) {
            return insert.word == word % 16 && insert.piece == piece;
          });
          if (found == inserts.end()) found = inserts.insert(inserts.end(), Insert{word % 16, piece, 0});
          found->lanes |= uint32_t{1} << l;
        }
      }
    }
  }
};

// The 64 steps of one MD5 block on vectors of lanes, written once for both
// vector widths through the operations each defines.
#define MD5_STEPS(F, G, H, I)                                               \
  MD5_STEP(F, a, b, c, d, 0, 7, 0); MD5_STEP(F, d, a, b, c, 1, 12, 1);      \
  MD5_STEP(F, c, d, a, b, 2, 17, 2); MD5_STEP(F, b, c, d, a, 3, 22, 3);     \
  MD5_STEP(F, a, b, c, d, 4, 7, 4); MD5_STEP(F, d, a, b, c, 5, 12, 5);      \
  MD5_STEP(F, c, d, a, b, 6, 17, 6); MD5_STEP(F, b, c, d, a, 7, 22, 7);     \
  MD5_STEP(F, a, b, c, d, 8, 7, 8); MD5_STEP(F, d, a, b, c, 9, 12, 9);      \
  MD5_STEP(F, c, d, a, b, 10, 17, 10); MD5_STEP(F, b, c, d, a, 11, 22, 11); \
  MD5_STEP(F, a, b, c, d, 12, 7, 12); MD5_STEP(F, d, a, b, c, 13, 12, 13);  \
  MD5_STEP(F, c, d, a, b, 14, 17, 14); MD5_STEP(F, b, c, d, a, 15, 22, 15); \
  MD5_STEP(G, a, b, c, d, 1, 5, 16); MD5_STEP(G, d, a, b, c, 6, 9, 17);     \
  MD5_STEP(G, c, d, a, b, 11, 14, 18); MD5_STEP(G, b, c, d, a, 0, 20, 19);  \
  MD5_STEP(G, a, b, c, d, 5, 5, 20); MD5_STEP(G, d, a, b, c, 10, 9, 21);    \
  MD5_STEP(G, c, d, a, b, 15, 14, 22); MD5_STEP(G, b, c, d, a, 4, 20, 23);  \
  MD5_STEP(G, a, b, c, d, 9, 5, 24); MD5_STEP(G, d, a, b, c, 14, 9, 25);    \
  MD5_STEP(G, c, d, a, b, 3, 14, 26); MD5_STEP(G, b, c, d, a, 8, 20, 27);   \
  MD5_STEP(G, a, b, c, d, 13, 5, 28); MD5_STEP(G, d, a, b, c, 2, 9, 29);    \
  MD5_STEP(G, c, d, a, b, 7, 14, 30); MD5_STEP(G, b, c, d, a, 12, 20, 31);  \
  MD5_STEP(H, a, b, c, d, 5, 4, 32); MD5_STEP(H, d, a, b, c, 8, 11, 33);    \
  MD5_STEP(H, c, d, a, b, 11, 16, 34); MD5_STEP(H, b, c, d, a, 14, 23, 35); \
  MD5_STEP(H, a, b, c, d, 1, 4, 36); MD5_STEP(H, d, a, b, c, 4, 11, 37);    \
  MD5_STEP(H, c, d, a, b, 7, 16, 38); MD5_STEP(H, b, c, d, a, 10, 23, 39);  \
  MD5_STEP(H, a, b, c, d, 13, 4, 40); MD5_STEP(H, d, a, b, c, 0, 11, 41);   \
  MD5_STEP(H, c, d, a, b, 3, 16, 42); MD5_STEP(H, b, c, d, a, 6, 23, 43);   \
  MD5_STEP(H, a, b, c, d, 9, 4, 44); MD5_STEP(H, d, a, b, c, 12, 11, 45);   \
  MD5_STEP(H, c, d, a, b, 15, 16, 46); MD5_STEP(H, b, c, d, a, 2, 23, 47);  \
  MD5_STEP(I, a, b, c, d, 0, 6, 48); MD5_STEP(I, d, a, b, c, 7, 10, 49);    \
  MD5_STEP(I, c, d, a, b, 14, 15, 50); MD5_STEP(I, b, c, d, a, 5, 21, 51);  \
  MD5_STEP(I, a, b, c, d, 12, 6, 52); MD5_STEP(I, d, a, b, c, 3, 10, 53);   \
  MD5_STEP(I, c, d, a, b, 10, 15, 54); MD5_STEP(I, b, c, d, a, 1, 21, 55);  \
  MD5_STEP(I, a, b, c, d, 8, 6, 56); MD5_STEP(I, d, a, b, c, 15, 10, 57);   \
  MD5_STEP(I, c, d, a, b, 6, 15, 58); MD5_STEP(I, b, c, d, a, 13, 21, 59);  \
  MD5_STEP(I, a, b, c, d, 4, 6, 60); MD5_STEP(I, d, a, b, c, 11, 10, 61);   \
  MD5_STEP(I, c, d, a, b, 2, 15, 62); MD5_STEP(I, b, c, d, a, 9, 21, 63)

// One step of each of the K vectors in turn: their chains are independent,
// so the core overlaps them. The step's word and constant are added first,
// so that the chain from b runs through only F, one add, the rotation and
// the last add; the compiler would otherwise reassociate the sum and put
// an add more on that chain, hence the empty asm that hides it.
#define OPAQUE(v) asm("" : "+v"(v))

// The K vectors of a word, unrolled so that each stays in its registers.
#define EACH_VECTOR(x) _Pragma("GCC unroll 2") for (int x = 0; x < K; ++x)
#define MD5_STEP(FN, a, b, c, d, k, s, i)                        \
  EACH_VECTOR(x) {                                               \
    V early = ADD(a[x], ADD(M[x][k], SET1(kT[i])));              \
    OPAQUE(early);                                               \
    a[x] = ADD(b[x], ROTL(ADD(early, FN(b[x], c[x], d[x])), s)); \
  }

// Runs the blocks of `words` (laid out as in Shape) from state `st`; a lane's
// state moves only through the blocks it has. INSERT or-s the digest's
// pieces into the words the inserts name.
#define MD5_BLOCKS_BODY(N)                                                                             \
  V limit[K];                                                                                          \
  EACH_VECTOR(x) limit[x] = LOADU(counts + x * N);                                                     \
  for (size_t block = 0; block < most; ++block) {                                                      \
    V M[K][16];                                                                                        \
    const uint32_t* at = words + block * 16 * lanes;                                                   \
    EACH_VECTOR(x) {                                                                                   \
      for (size_t w = 0; w < 16; ++w) M[x][w] = LOADU(at + w * lanes + x * N);                         \
    }                                                                                                  \
    for (const Insert& insert : block < inserts.size() ? inserts[block] : std::span<const Insert>()) { \
      EACH_VECTOR(x) {                                                                                 \
        V& word = M[x][insert.word];                                                                   \
        word = INSERT(word, (insert.lanes >> (x * N)) & ((1u << N) - 1), pieces[x][insert.piece]);     \
      }                                                                                                \
    }                                                                                                  \
    V a[K], b[K], c[K], d[K];                                                                          \
    EACH_VECTOR(x) {                                                                                   \
      a[x] = st[0][x];                                                                                 \
      b[x] = st[1][x];                                                                                 \
      c[x] = st[2][x];                                                                                 \
      d[x] = st[3][x];                                                                                 \
    }                                                                                                  \
    MD5_STEPS(MD5_F, MD5_G, MD5_H, MD5_I);                                                             \
    const uint32_t current = static_cast<uint32_t>(block);                                             \
    EACH_VECTOR(x) {                                                                                   \
      st[0][x] = BLEND_IF_BELOW(current, limit[x], ADD(st[0][x], a[x]), st[0][x]);                     \
      st[1][x] = BLEND_IF_BELOW(current, limit[x], ADD(st[1][x], b[x]), st[1][x]);                     \
      st[2][x] = BLEND_IF_BELOW(current, limit[x], ADD(st[2][x], c[x]), st[2][x]);                     \
      st[3][x] = BLEND_IF_BELOW(current, limit[x], ADD(st[3][x], d[x]), st[3][x]);                     \
    }                                                                                                  \
  }

// All rounds of a group: first the state after each odd shape's prefix,
// then the thousand rounds, each taking the previous digest from vectors
// (no lane's digest goes through memory between rounds).
#define MD5_GROUP_BODY(N)                                                                                   \
  const size_t lanes = group.lanes;                                                                         \
  const V noPieces[K][5] = {};                                                                              \
  for (Shape& shape : group.shapes) {                                                                       \
    if (shape.prefixMost == 0) continue;                                                                    \
    V st[4][K];                                                                                             \
    for (int w = 0; w < 4; ++w) {                                                                           \
      EACH_VECTOR(x) st[w][x] = LOADU(shape.state.data() + w * lanes + x * N);                              \
    }                                                                                                       \
    Blocks(st, shape.prefixWords.data(), shape.prefixMost, shape.prefixBlocks.data(), lanes, {}, noPieces); \
    for (int w = 0; w < 4; ++w) {                                                                           \
      EACH_VECTOR(x) STOREU(shape.state.data() + w * lanes + x * N, st[w][x]);                              \
    }                                                                                                       \
  }                                                                                                         \
  V digest[4][K];                                                                                           \
  for (int w = 0; w < 4; ++w) {                                                                             \
    EACH_VECTOR(x) digest[w][x] = LOADU(group.digest.data() + w * lanes + x * N);                           \
  }                                                                                                         \
  for (int round = 0; round < kRounds; ++round) {                                                           \
    const Shape& shape = group.shapes[static_cast<size_t>(ShapeOf(round))];                                 \
    V pieces[K][5];                                                                                         \
    V st[4][K];                                                                                             \
    EACH_VECTOR(x) {                                                                                        \
      const V left = LOADU(shape.left.data() + x * N);                                                      \
      const V right = LOADU(shape.right.data() + x * N);                                                    \
      pieces[x][0] = SHIFT_LEFT(digest[0][x], left);                                                        \
      for (int w = 1; w < 4; ++w) {                                                                         \
        pieces[x][w] = OR(SHIFT_LEFT(digest[w][x], left), SHIFT_RIGHT(digest[w - 1][x], right));            \
      }                                                                                                     \
      pieces[x][4] = SHIFT_RIGHT(digest[3][x], right);                                                      \
      for (int w = 0; w < 4; ++w) st[w][x] = LOADU(shape.state.data() + w * lanes + x * N);                 \
    }                                                                                                       \
    Blocks(st, shape.words.data(), shape.most, shape.blocks.data(), lanes, shape.inserts, pieces);          \
    for (int w = 0; w < 4; ++w) {                                                                           \
      EACH_VECTOR(x) digest[w][x] = st[w][x];                                                               \
    }                                                                                                       \
  }                                                                                                         \
  for (int w = 0; w < 4; ++w) {                                                                             \
    EACH_VECTOR(x) STOREU(group.digest.data() + w * lanes + x * N, digest[w][x]);                           \
  }

// --- AVX2: eight lanes per vector.
#define V __m256i
#define ADD(x, y) _mm256_add_epi32(x, y)
#define OR(x, y) _mm256_or_si256(x, y)
#define SET1(x) _mm256_set1_epi32(static_cast<int>(x))
#define LOADU(p) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))
#define STOREU(p, v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v)
#define SHIFT_LEFT(x, n) _mm256_sllv_epi32(x, n)
#define SHIFT_RIGHT(x, n) _mm256_srlv_epi32(x, n)
#define ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
#define BLEND_IF_BELOW(n, limits, yes, no) \
  _mm256_blendv_epi8(no, yes, _mm256_cmpgt_epi32(limits, _mm256_set1_epi32(static_cast<int>(n))))
// The lane bits spread to whole lanes, then the piece kept where they are set.
#define INSERT(word, bits, piece)                                                                          \
  _mm256_or_si256(word, _mm256_and_si256(piece, _mm256_cmpeq_epi32(_mm256_and_si256(SET1(bits), kLaneBit), \
                                                                     kLaneBit)))
// F and G keep their newest input (x, then b) two operations from the
// result, H one.
#define MD5_F(x, y, z) _mm256_or_si256(_mm256_and_si256(x, y), _mm256_andnot_si256(x, z))
#define MD5_G(x, y, z) _mm256_or_si256(_mm256_and_si256(x, z), _mm256_andnot_si256(z, y))
#define MD5_H(x, y, z) _mm256_xor_si256(x, _mm256_xor_si256(y, z))
#define MD5_I(x, y, z) _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, _mm256_set1_epi32(-1))))

template <int K>
__attribute__((target("avx2"), always_inline)) inline void BlocksAvx2(V (&st)[4][K], const uint32_t* words, size_t most,
                                                                      const uint32_t* counts, size_t lanes,
                                                                      std::span<const std::vector<Insert>> inserts,
                                                                      const V (&pieces)[K][5]) {
  const V kLaneBit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  MD5_BLOCKS_BODY(8)
}

template <int K>
__attribute__((target("avx2"))) void GroupAvx2(Group& group) {
#define Blocks BlocksAvx2<K>
  MD5_GROUP_BODY(8)
#undef Blocks
}

#undef V
#undef ADD
#undef OR
#undef SET1
#undef LOADU
#undef STOREU
#undef SHIFT_LEFT
#undef SHIFT_RIGHT
#undef ROTL
#undef BLEND_IF_BELOW
#undef INSERT
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

// --- AVX-512: sixteen lanes per vector, with rotations, masks and
// three-input logic of their own. GCC 12 takes the plain forms of some of
// these for reads of uninitialised values; the masked forms do not trip it.
#define V __m512i
#define ADD(x, y) _mm512_add_epi32(x, y)
#define OR(x, y) _mm512_or_si512(x, y)
#define SET1(x) _mm512_set1_epi32(static_cast<int>(x))
#define LOADU(p) _mm512_maskz_loadu_epi32(static_cast<__mmask16>(0xFFFF), p)
#define STOREU(p, v) _mm512_storeu_si512(p, v)
#define SHIFT_LEFT(x, n) _mm512_maskz_sllv_epi32(static_cast<__mmask16>(0xFFFF), x, n)
#define SHIFT_RIGHT(x, n) _mm512_maskz_srlv_epi32(static_cast<__mmask16>(0xFFFF), x, n)
#define ROTL(x, s) _mm512_maskz_rol_epi32(static_cast<__mmask16>(0xFFFF), x, s)
#define BLEND_IF_BELOW(n, limits, yes, no) \
  _mm512_mask_blend_epi32(_mm512_cmpgt_epu32_mask(limits, _mm512_set1_epi32(static_cast<int>(n))), no, yes)
#define INSERT(word, bits, piece) _mm512_mask_or_epi32(word, static_cast<__mmask16>(bits), word, piece)
// Truth tables over (x, y, z) for F, G, H and I.
#define MD5_F(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xCA)
#define MD5_G(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0xE4)
#define MD5_H(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x96)
#define MD5_I(x, y, z) _mm512_ternarylogic_epi32(x, y, z, 0x39)

template <int K>
__attribute__((target("avx512f"), always_inline)) inline void BlocksAvx512(V (&st)[4][K], const uint32_t* words,
                                                                           size_t most, const uint32_t* counts,
                                                                           size_t lanes,
                                                                           std::span<const std::vector<Insert>> inserts,
                                                                           const V (&pieces)[K][5]) {
  MD5_BLOCKS_BODY(16)
}

template <int K>
__attribute__((target("avx512f"))) void GroupAvx512(Group& group) {
#define Blocks BlocksAvx512<K>
  MD5_GROUP_BODY(16)
#undef Blocks
}

#undef V
#undef ADD
#undef OR
#undef SET1
#undef LOADU
#undef STOREU
#undef SHIFT_LEFT
#undef SHIFT_RIGHT
#undef ROTL
#undef BLEND_IF_BELOW
#undef INSERT
#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

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
  // Lanes of like length share their digest's place in most rounds and
  // their number of blocks: fewer inserts and fewer blocks run for nothing.
  std::vector<size_t> order(inputs.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    return std::pair(inputs[x].password.size(), inputs[x].salt.size()) <
           std::pair(inputs[y].password.size(), inputs[y].salt.size());
  });
  size_t next = 0;
  if (width != Width::Scalar) {
    Group group;
    std::vector<const Md5CryptInput*> members;
    // A group of one vector costs about as much as one digest at a time, one
    // of two vectors little more than one of one: a last, partial group is
    // filled up with copies of its last input unless only one is left, and
    // takes two vectors when more than one vector's worth is left.
    const size_t kWorthAGroup = 2;
    while (next < inputs.size() && inputs.size() - next >= kWorthAGroup) {
      const size_t left = inputs.size() - next;
      const size_t vectors = left > wide ? 2 : 1;
      const size_t real = std::min(wide * vectors, left);
      members.clear();
      for (size_t l = 0; l < wide * vectors; ++l) members.push_back(&inputs[order[next + std::min(l, real - 1)]]);
      group.Build(members);
      if (width == Width::Avx512) {
        vectors == 2 ? GroupAvx512<2>(group) : GroupAvx512<1>(group);
      } else {
        vectors == 2 ? GroupAvx2<2>(group) : GroupAvx2<1>(group);
      }
      for (size_t l = 0; l < real; ++l) {
        Md5Digest& digest = digests[order[next + l]];
        for (size_t w = 0; w < 4; ++w) std::memcpy(digest.data() + 4 * w, &group.digest[w * group.lanes + l], 4);
      }
      next += real;
    }
  }
  for (; next < inputs.size(); ++next) {
    const Md5CryptInput& input = inputs[order[next]];
    digests[order[next]] = Md5Crypt(input.password, input.salt);
  }
  return digests;
}

}  // namespace NFS
