// The upper tail of the standard normal, Q(z) = P(Z > z) = erfc(z / sqrt 2) / 2, in plain IEEE
// double arithmetic: no call into the C library, no fused multiply-add, no branch. Every
// operation is an addition, subtraction, multiplication, absolute value, comparison or
// reinterpretation of bits, each correctly rounded by IEEE 754, so the result is the same to the
// last bit whatever the compiler, its options or the instruction set (GCC, Clang or MSVC; x86-64
// with or without AVX; arm64), and a loop over many z vectorises.
//
// Accuracy: within 1 ulp of the correctly rounded Q(z) (of the exact z, not of a rounded z/sqrt 2)
// for every |z| <= 40, subnormal results included; the tests check it against mpmath.
//
// Method. For x = |z|, Q(x) = exp(-x^2/2) R(x), with R(x) = exp(x^2/2) Q(x) smooth and slowly
// varying (1/2 at 0, about 1/(x sqrt(2 pi)) far out).
//  - R: a polynomial of degree 12 in t = (x - c) / h on each of 59 intervals [c - h, c + h],
//    eight per binade of x + 1/4 (the row is read from the bits of x + 1/4), so narrow that the
//    constant term a0 carries R to within 6%: R = a0 + t X(t), a0 held as a 26-bit leading part
//    and the rest.
//  - exp(-x^2/2): x = s + d with s the 26 leading bits of x, so that s^2 is exact and
//    x^2 = s^2 + d (s + x) with the second term rounded far below the result's last bit;
//    -x^2/2 = k ln 2 + r (k an integer, |r| <= ln(2)/2, ln 2 held in two parts), and
//    exp(r) = 1 + r + r^2 p(r) with p a polynomial of degree 11.
//  - The product R exp(r) as a0 + a0 r + (the rest): a0's 26-bit part times the 26 leading bits of
//    r is exact, and the leading sum is carried with its rounding error, so that only the final
//    rounding and errors far below it remain; then the scaling by 2^k, in two steps so that a
//    subnormal result is rounded once.
//  - z < 0: Q(z) = 1 - Q(|z|), the subtraction made exact before its one rounding.
// The coefficients come from tools/normal_tail_table.py (mpmath).

#ifndef GMMS_NORMAL_TAIL_HPP
#define GMMS_NORMAL_TAIL_HPP

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace gmms::normal_tail {

// BEGIN TABLE: written by tools/normal_tail_table.py, do not edit
inline constexpr double LN2_8_HIGH = 0x1.62e42fefa0000p-4;
inline constexpr double LN2_8_LOW = 0x1.cf79abc9e3b3ap-43;
inline constexpr std::array<double, 7> EXP_COEFFS = {
    0x1.0000000000000p-1,
    0x1.555555555559ep-3,
    0x1.5555555555572p-5,
    0x1.1111110c5aa8bp-7,
    0x1.6c16c16851a24p-10,
    0x1.a01ee354c87cfp-13,
    0x1.a01de962eed2ap-16,
};
// 2^(-j/8): 26 leading bits, the rest.
alignas(64) inline constexpr double POW2[2][8] = {
    {0x1.0000000000000p+0, 0x1.d5818e0000000p-1, 0x1.ae89f98000000p-1, 0x1.8ace540000000p-1,
     0x1.6a09e68000000p-1, 0x1.4bfdad8000000p-1, 0x1.306fe08000000p-1, 0x1.172b840000000p-1},
    {0x0.0p+0, -0x1.822dbc6d12fd3p-28, 0x1.5ad3ad5e8734dp-29, 0x1.15506dadd3e2bp-28,
     -0x1.80c4336f74d05p-29, -0x1.64eaec715e343p-28, 0x1.18db8a96f46adp-28, -0x1.c15742919041cp-28},
};
inline constexpr int ROWS = 59;
alignas(64) inline constexpr double TABLE[14][ROWS] = {
    // a0, 26 leading bits
    {0x1.f9adcd0000000p-2, 0x1.ed66490000000p-2, 0x1.e195a18000000p-2, 0x1.d636278000000p-2,
     0x1.cb427e0000000p-2, 0x1.c0b5940000000p-2, 0x1.b68a9f0000000p-2, 0x1.acbd1a0000000p-2,
     0x1.9eaeb60000000p-2, 0x1.8d11d60000000p-2, 0x1.7ca4c50000000p-2, 0x1.6d4d6d8000000p-2,
     0x1.5ef45b0000000p-2, 0x1.51846f8000000p-2, 0x1.44ea9e0000000p-2, 0x1.3915b10000000p-2,
     0x1.28a5d38000000p-2, 0x1.14e6fe0000000p-2, 0x1.034ea30000000p-2, 0x1.e71ea08000000p-3,
     0x1.cad0f18000000p-3, 0x1.b1480a0000000p-3, 0x1.9a28d20000000p-3, 0x1.8526330000000p-3,
     0x1.690b330000000p-3, 0x1.48de380000000p-3, 0x1.2d938a8000000p-3, 0x1.1630f98000000p-3,
     0x1.01f8380000000p-3, 0x1.e0ad198000000p-4, 0x1.c1b2d08000000p-4, 0x1.a64c9c8000000p-4,
     0x1.82b4bb8000000p-4, 0x1.5b5acd0000000p-4, 0x1.3b0fbc8000000p-4, 0x1.201fa90000000p-4,
     0x1.0956090000000p-4, 0x1.eba5fe8000000p-5, 0x1.c9e1210000000p-5, 0x1.ac62928000000p-5,
     0x1.868e8a8000000p-5, 0x1.5d51cf8000000p-5, 0x1.3be3f48000000p-5, 0x1.2042098000000p-5,
     0x1.090b098000000p-5, 0x1.ea8a4f8000000p-6, 0x1.c875998000000p-6, 0x1.aac9c68000000p-6,
     0x1.84d94d8000000p-6, 0x1.5b9e2b8000000p-6, 0x1.3a46400000000p-6, 0x1.1ec1b40000000p-6,
     0x1.07a9a68000000p-6, 0x1.e803540000000p-7, 0x1.c626210000000p-7, 0x1.a8acd30000000p-7,
     0x1.82fed18000000p-7, 0x1.5a0ccb0000000p-7, 0x1.38ef778000000p-7},
    // a0, the rest
    {-0x1.86843bcf56856p-30, -0x1.b124298da5fffp-29, -0x1.6b5c0400c55bap-29, 0x1.59408e0a5ed5cp-30,
     0x1.0a1151277555ap-29, -0x1.250c835b2c9c7p-29, 0x1.c761242f77359p-29, -0x1.ac60427bff8a6p-29,
     0x1.cdfd349145c35p-31, 0x1.fb3fd77c01fcbp-30, 0x1.d4f64a5e90e30p-29, 0x1.31e63e0bab18bp-30,
     0x1.f47c4faee1571p-29, 0x1.574d995f32d72p-32, -0x1.96ad1ce004d85p-29, -0x1.87ac7573ed18bp-29,
     -0x1.cde813bcfe760p-29, 0x1.6f2889bd6ccbdp-31, -0x1.3899502392986p-32, 0x1.b69dddcd76b78p-30,
     -0x1.c60bb45f4b392p-30, 0x1.beb5c20df8d2dp-31, 0x1.47761639de094p-33, -0x1.4230304a518f6p-31,
     -0x1.8598ac6d2068bp-31, 0x1.1914a52749667p-30, -0x1.3ec7afcd2f057p-32, -0x1.be4b0ee7710b4p-34,
     0x1.fbe0ee97b8ac2p-30, 0x1.e7b825489f6c3p-34, -0x1.4a8daf5d43344p-33, 0x1.471ee6ba6ed3cp-31,
     0x1.929b9b99bc576p-33, 0x1.d8afdda7614b3p-31, 0x1.a63bdf262f295p-31, 0x1.2cdbd629400b8p-31,
     -0x1.c275077c03c77p-31, -0x1.275a6ae09e12fp-32, -0x1.b776c9496db2ep-33, 0x1.eddfee0a775b9p-32,
     -0x1.64ac8025d6f8ap-40, 0x1.40b93eb7d7971p-34, 0x1.8088b3db6c27ep-32, -0x1.da5385026e0dfp-34,
     0x1.eed995f13b68cp-32, -0x1.4158a04cc9ad9p-34, 0x1.03e1cc0164ceap-35, 0x1.a795a91ec0a44p-33,
     0x1.df6ebdf80002bp-34, -0x1.9867d6db66837p-36, 0x1.48ffd6edf9cd0p-34, 0x1.3314272e8b3cep-34,
     0x1.a04c1e8439ce0p-34, 0x1.a8f59f57070dbp-35, 0x1.c5e1ec27fc08dp-34, -0x1.f9edd68d5fad2p-36,
     -0x1.c940837e3bfb4p-35, 0x1.976ea688d2840p-34, 0x1.2d5f079f863f9p-34},
    // a1
    {-0x1.909d9c09a5061p-8, -0x1.816387d3cd1b4p-8, -0x1.72e4a2a2cfcb1p-8, -0x1.651666e8e7341p-8,
     -0x1.57eef98096172p-8, -0x1.4b651dd38f29ep-8, -0x1.3f702ae5b36dap-8, -0x1.34080131d0370p-8,
     -0x1.23e3300933eb5p-7, -0x1.100631a25d85ep-7, -0x1.fbc2c63ae5c68p-8, -0x1.da900fc09a4c7p-8,
     -0x1.bc2505880e478p-8, -0x1.a03b620c28198p-8, -0x1.8694b75d3f30dp-8, -0x1.6ef97850e7c73p-8,
     -0x1.4efb2f2859ee1p-7, -0x1.29d78a25036a0p-7, -0x1.0a018c24e7e14p-7, -0x1.dd288f42d6b65p-8,
     -0x1.adacd39a096b5p-8, -0x1.84622fe4c8eb4p-8, -0x1.6051bca510501p-8, -0x1.40b0611903be5p-8,
     -0x1.18274e105d5c9p-7, -0x1.d8c1bcbf7538dp-8, -0x1.9328f688be707p-8, -0x1.5b205e4eb7508p-8,
     -0x1.2d7c131007d15p-8, -0x1.07e8ba5a7a2cap-8, -0x1.d157359faa169p-9, -0x1.9cee54434e4e6p-9,
     -0x1.5cf97b0ae882cp-8, -0x1.1be2c5acaa9ddp-8, -0x1.d614eb6941456p-9, -0x1.8b195531b3873p-9,
     -0x1.5068c2372ace0p-9, -0x1.21ae9268527c7p-9, -0x1.f7d59d52f902bp-10, -0x1.b9fa6ad8c9c8ep-10,
     -0x1.70551a5c57d15p-9, -0x1.276ed16b2ce13p-9, -0x1.e420ddd6c01d5p-10, -0x1.93bafb0dc8509p-10,
     -0x1.55b62945dfaadp-10, -0x1.24e4bbf29daa6p-10, -0x1.fb968007bc3b4p-11, -0x1.bc01d8cc1062ap-11,
     -0x1.70d5fbe4e61adp-10, -0x1.26f84abdcbc7fp-10, -0x1.e270453150ba1p-11, -0x1.91ce63f2b51aep-11,
     -0x1.53cb0e08122b1p-11, -0x1.2315de1f1fab5p-11, -0x1.f8459129170d5p-12, -0x1.b90229d2e5a8cp-12,
     -0x1.6e49999e16cf1p-11, -0x1.24ee1cbb4fe89p-11, -0x1.df2918e92c546p-12},
    // a2
    {0x1.f36b567771283p-15, 0x1.db559e6beddd8p-15, 0x1.c49bc49ddc43ap-15, 0x1.af27b4541abf3p-15,
     0x1.9ae4e30b2d0eep-15, 0x1.87c032bb01d46p-15, 0x1.75a7d68243b24p-15, 0x1.648b3982c72adp-15,
     0x1.4c96d08bd94f7p-13, 0x1.2f8fb50fe3d77p-13, 0x1.158134f6a81d0p-13, 0x1.fc2753c3f473fp-14,
     0x1.d1f50b8cd77dfp-14, 0x1.abe59cd3829dbp-14, 0x1.8983a3452340cp-14, 0x1.6a681323ee4b8p-14,
     0x1.411f903bbce9ap-12, 0x1.1293ea943f554p-12, 0x1.d7f7421e09ac6p-13, 0x1.979d174e487f0p-13,
     0x1.61af0cd450b61p-13, 0x1.3442ef5ef5e61p-13, 0x1.0dd1ed485233ap-13, 0x1.da4583fb07519p-14,
     0x1.899966e13bb9dp-12, 0x1.36dd2f75b139ep-12, 0x1.f199c0a6c57ddp-13, 0x1.931ddcc6d8e87p-13,
     0x1.4a38545fb3fb2p-13, 0x1.1145d968ffeb6p-13, 0x1.c889d9b7a07c1p-14, 0x1.80a5025f272eap-14,
     0x1.2dda040d62d0ep-12, 0x1.bfbaed8d60a26p-13, 0x1.542a992feb08cp-13, 0x1.07e3e93700dcfp-13,
     0x1.a0eee3ca2891ep-14, 0x1.4ea50718ea867p-14, 0x1.106373beeb10dp-14, 0x1.c0f9d24fda2d4p-15,
     0x1.56d8ea131b520p-13, 0x1.ee6b598679670p-14, 0x1.6fb9a49f80ec0p-14, 0x1.18a43adf22cb9p-14,
     0x1.b5c9122df9fa9p-15, 0x1.5bde088554f0ep-15, 0x1.18e3e04eda653p-15, 0x1.cc0209398b8e5p-16,
     0x1.5ca4f52b03e33p-14, 0x1.f333e3339250fp-15, 0x1.71733695a4c9dp-15, 0x1.18f904a4815a5p-15,
     0x1.b5337f8d69329p-16, 0x1.5ac4be866795cp-16, 0x1.17a0cdd187913p-16, 0x1.c97d7f0fc247cp-17,
     0x1.5a62bd5fd2d15p-15, 0x1.ef9537d641ddfp-16, 0x1.6ea1963fd793bp-16},
    // a3
    {-0x1.0879d8e8796d3p-21, -0x1.f2ff5d7c5cb57p-22, -0x1.d6f3669b86eb4p-22, -0x1.bcada41067a78p-22,
     -0x1.a40e820d113acp-22, -0x1.8cf8cc9f51578p-22, -0x1.77517ed0a0bcbp-22, -0x1.62ff95f0a67ffp-22,
     -0x1.46d2a39cb7259p-19, -0x1.2521fe04d87bdp-19, -0x1.075985cf20fc8p-19, -0x1.d9f3cad391570p-20,
     -0x1.ab2a9348dc0d6p-20, -0x1.81999f51d1c39p-20, -0x1.5c9cb2636a2a1p-20, -0x1.3ba56c9552dacp-20,
     -0x1.10b3261571944p-17, -0x1.c305e07eb9f02p-18, -0x1.770a518d237e8p-18, -0x1.398461e5cf8e8p-18,
     -0x1.076d443e45efdp-18, -0x1.bcdadf96c07a7p-19, -0x1.79649e0c2ae9fp-19, -0x1.419d791da1bfcp-19,
     -0x1.fe2774798747cp-17, -0x1.7be7463117c8dp-17, -0x1.1f39cb0f4324bp-17, -0x1.b86ec796852a7p-18,
     -0x1.5613223bf7c45p-18, -0x1.0ce0d80261441p-18, -0x1.ab64ca43e39f4p-19, -0x1.572ee09b0eeb2p-19,
     -0x1.f6a4f53ae76abp-17, -0x1.55bc008c2d708p-17, -0x1.dea729e3cfc51p-18, -0x1.57ff859618f9ep-18,
     -0x1.f9cc9d4bb2b7fp-19, -0x1.7b5fb856fe99fp-19, -0x1.21a61d893c38ap-19, -0x1.c159ce7e6fdfbp-20,
     -0x1.3b1e14b84dc22p-17, -0x1.99759c3d1d9e8p-18, -0x1.14eae8dd93ea0p-18, -0x1.8356b5ffe5b7dp-19,
     -0x1.16b3e4720bd4bp-19, -0x1.9af44c111ba2ep-20, -0x1.356ebf36892c2p-20, -0x1.daa2ab1275007p-21,
     -0x1.486e694a030b1p-18, -0x1.a542690d5db40p-19, -0x1.1a48cd1501735p-19, -0x1.88363b3374463p-20,
     -0x1.18d0eb21dea63p-20, -0x1.9c8923b170273p-21, -0x1.35bf8dba4da4bp-21, -0x1.da17a2569fc5cp-22,
     -0x1.4747d95df3236p-19, -0x1.a2ecca7d7c652p-20, -0x1.185e82816d011p-20},
    // a4
    {0x1.ef496f13cf427p-29, 0x1.cfa3a23b03b14p-29, 0x1.b236429bc8fe7p-29, 0x1.96d6355b35140p-29,
     0x1.7d5bdde641d8cp-29, 0x1.65a2d12550d6ep-29, 0x1.4f898fa1135f2p-29, 0x1.3af145f093a7dp-29,
     0x1.1ea13189cf8e3p-25, 0x1.fa5bbace1d445p-26, 0x1.c0060b912ad36p-26, 0x1.8d12303a5e639p-26,
     0x1.607dbc6d7d0a6p-26, 0x1.396c01873857ap-26, 0x1.172038bc846afp-26, 0x1.f1f1403c8909cp-27,
     0x1.a4ad91860d8adp-23, 0x1.51bd13ed1781fp-23, 0x1.10b9c6cb0ed13p-23, 0x1.baecfa5baa84bp-24,
     0x1.699eb016e5a16p-24, 0x1.28c88e0991742p-24, 0x1.e99a7e2e45c0fp-25, 0x1.95d14b940daf9p-25,
     0x1.34edd09088a07p-21, 0x1.b42948ae725cdp-22, 0x1.390a3f094b849p-22, 0x1.c854a73046128p-23,
     0x1.516a4f1267983p-23, 0x1.f9b185391f71bp-24, 0x1.7fb33c3961b6ep-24, 0x1.268a1b4a86a65p-24,
     0x1.943c4b7f78e39p-21, 0x1.fa3b677d6c23ep-22, 0x1.4810f80c496edp-22, 0x1.b643d5fcfb145p-23,
     0x1.2cab6e8b143fep-23, 0x1.a6741523ba970p-24, 0x1.2f219e6d65f48p-24, 0x1.bb5a0b9514b89p-25,
     0x1.1e1e4b50b28e8p-21, 0x1.4fb5cdfcf2bbcp-22, 0x1.9d9548736d2fep-23, 0x1.09685ce6a8d85p-23,
     0x1.60b38beafba6fp-24, 0x1.e2ee61ca83893p-25, 0x1.534f80920e7b1p-25, 0x1.e7bf8afd027c8p-26,
     0x1.3457bc623080ap-22, 0x1.628405fa2245ap-23, 0x1.ae664f33751d0p-24, 0x1.113b46f6588a9p-24,
     0x1.6829ea8264f3bp-25, 0x1.ea1ab013d52abp-26, 0x1.56b47c25cf429p-26, 0x1.eac91084bfc5ap-27,
     0x1.34f61ebc72d3bp-23, 0x1.61e0f6392699dp-24, 0x1.ac8ff5f6bcecdp-25},
    // a5
    {-0x1.a410e58f08fcbp-36, -0x1.86813958c87f7p-36, -0x1.6b3106678da77p-36, -0x1.51f18a845566bp-36,
     -0x1.3a9809f5807adp-36, -0x1.24fd721e7d1dap-36, -0x1.10fe04fb6a374p-36, -0x1.fcf21930bb83bp-37,
     -0x1.ca6cc1088988dp-32, -0x1.8f635ff1cff32p-32, -0x1.5c8e4103d104dp-32, -0x1.30b60604b5c62p-32,
     -0x1.0ad4242fd2455p-32, -0x1.d415b162ae75ap-33, -0x1.9b3cffa27df19p-33, -0x1.69e01e771d2b2p-33,
     -0x1.2b996da38aeacp-28, -0x1.d45531d8f1759p-29, -0x1.703f664ed296cp-29, -0x1.233cd8ea8e4a3p-29,
     -0x1.cf43d4af3b7abp-30, -0x1.72778f32ffe3ap-30, -0x1.29d3a1368c436p-30, -0x1.e15090bd59844p-31,
     -0x1.60da67e9a479fp-26, -0x1.da377ea7bc456p-27, -0x1.4458ab9f2d75dp-27, -0x1.c3171f95e3745p-28,
     -0x1.3e95847bf7373p-28, -0x1.c89666339fb53p-29, -0x1.4bab64a4b6dcbp-29, -0x1.e80aff301f32dp-30,
     -0x1.3ae8858aef146p-25, -0x1.6caa288a61fa5p-26, -0x1.b6d94bb6136edp-27, -0x1.1138dc9ab3317p-27,
     -0x1.5eafc97a19f41p-28, -0x1.ce785bb2be67ap-29, -0x1.386f5879bf738p-29, -0x1.af782e889eb60p-30,
     -0x1.00bdf3da799dcp-25, -0x1.1091e73b57f70p-26, -0x1.3253d85cf00a4p-27, -0x1.6931ef8d97632p-28,
     -0x1.bbaf76d3cea52p-29, -0x1.1a49e88a43076p-29, -0x1.7263574a72baep-30, -0x1.f338850fb87ecp-31,
     -0x1.2083370ad4778p-26, -0x1.298a027285803p-27, -0x1.47624a414f1bcp-28, -0x1.7bfa8545b28eap-29,
     -0x1.cd3300d06bc81p-30, -0x1.22bb66be5f25ep-30, -0x1.7ab826aabcde9p-31, -0x1.fb89f8d92fabep-32,
     -0x1.236a5c27871b0p-27, -0x1.2ab99e73ad097p-28, -0x1.475b48bf8317bp-29},
    // a6
    {0x1.4800de3076205p-43, 0x1.2efdbc9749feep-43, 0x1.18043ae7d3a3fp-43, 0x1.02e7552ffaf04p-43,
     0x1.defc3c43fe6adp-44, 0x1.bb46b71e42c87p-44, 0x1.9a6a597f63720p-44, 0x1.7c297348f6397p-44,
     0x1.53320ff447d8cp-38, 0x1.23cf198b09045p-38, 0x1.f6f6ddd085d33p-39, 0x1.b234b3c1afb6cp-39,
     0x1.777c83c10c400p-39, 0x1.45410c436ded8p-39, 0x1.1a359e652501cp-39, 0x1.ea86470cf8bdap-40,
     0x1.8e9efbfa26cc3p-34, 0x1.2ff6d052fe8bbp-34, 0x1.d26d29a5a7aabp-35, 0x1.68012215dd5edp-35,
     0x1.177b3dbc88255p-35, 0x1.b4643c334ea41p-36, 0x1.56918afa358eep-36, 0x1.0e59be058fe40p-36,
     0x1.7ebe7f9d5d6f5p-31, 0x1.eb4a23b8e4df1p-32, 0x1.4139985cc0a9ap-32, 0x1.ab79468fc156ep-33,
     0x1.212794ee24a3bp-33, 0x1.8d4ab9021bf3ap-34, 0x1.14f1a8d113819p-34, 0x1.8770a8d92d0fap-35,
     0x1.dc697517e3cbcp-30, 0x1.ffea8a090e4e7p-31, 0x1.1edb83e284b39p-31, 0x1.4dc8ce2c05a6cp-32,
     0x1.91a64f4ff7afdp-33, 0x1.f218716fefcc6p-34, 0x1.3d57601e92fb0p-34, 0x1.9e63ff8aa3261p-35,
     0x1.c788a7438fbb0p-30, 0x1.b66ce2af0606ep-31, 0x1.c2279a5b1c531p-32, 0x1.e835692debc5cp-33,
     0x1.156f141108d95p-33, 0x1.4854b87561f7cp-34, 0x1.9281234a71f59p-35, 0x1.fcf20700de8dcp-36,
     0x1.0d0fcb110f4b2p-30, 0x1.f219093c5047cp-32, 0x1.f0f24ce0de45ep-33, 0x1.07b96795de33ep-33,
     0x1.26d2a06392cdcp-34, 0x1.58756f2da8f0ep-35, 0x1.a206459a5b6c3p-36, 0x1.06292158bf0ebp-36,
     0x1.12a106d249998p-31, 0x1.f7fc65eb80361p-33, 0x1.f3d1665161bb2p-34},
    // a7
    {-0x1.dd2596a79b8ecp-51, -0x1.b62ce358457e6p-51, -0x1.929344b091a12p-51, -0x1.720a28fb18d08p-51,
     -0x1.544a7b3efc136p-51, -0x1.3913e4dba4e26p-51, -0x1.202c22c914ca0p-51, -0x1.095e6c6388670p-51,
     -0x1.d56687c282161p-45, -0x1.8f1fbf7da05ddp-45, -0x1.53f83520bc89dp-45, -0x1.2216aecdbbea3p-45,
     -0x1.efe83d006ce7ep-46, -0x1.a89994479f5dap-46, -0x1.6c2876785a6a0p-46, -0x1.38d6d8cc540abp-46,
     -0x1.f3b9735466b05p-40, -0x1.7466495e0e337p-40, -0x1.1742bf236bdd5p-40, -0x1.a565bd406a154p-41,
     -0x1.3fd5a95679cb1p-41, -0x1.e8513a6f3e2a0p-42, -0x1.76e1c6afbc034p-42, -0x1.2160f753271b2p-42,
     -0x1.8c70403f3e37ep-36, -0x1.e75bad02dbd3ep-37, -0x1.316a39848d9afp-37, -0x1.85da5e5ed712cp-38,
     -0x1.fa4e069a9d806p-39, -0x1.4e2dc3d029ea9p-39, -0x1.bffdaea8b5102p-40, -0x1.30afc4f6cae23p-40,
     -0x1.5ea3a04f1bf59p-34, -0x1.5eaec4514e937p-35, -0x1.6efafaed987c7p-36, -0x1.8ff51a48263dbp-37,
     -0x1.c41bedbf1af56p-38, -0x1.0814902e4eb0ep-38, -0x1.3dd14c927619dp-39, -0x1.88f1ad69e1ce1p-40,
     -0x1.8fad8c87b4e3ep-34, -0x1.5d5a964c54c43p-35, -0x1.482d400435bf8p-36, -0x1.47bdd45827af7p-37,
     -0x1.58f4944aefde4p-38, -0x1.7bf6d3b3cd8e4p-39, -0x1.b379b1d495bafp-40, -0x1.026abdf5bdc63p-40,
     -0x1.f431db2e9f130p-35, -0x1.9fcfbac2c2c93p-36, -0x1.7855d5140b91ep-37, -0x1.6d66488b8e4c4p-38,
     -0x1.78570fc6d6ec2p-39, -0x1.978fe3b4fe18ap-40, -0x1.ccddca7072776p-41, -0x1.0e8cc9f0eff3ep-41,
     -0x1.029644fc78094p-35, -0x1.a8d988093dc37p-37, -0x1.7d5a4a5715ae5p-38},
    // a8
    {0x1.4623b899ce8c5p-58, 0x1.29db35ed41353p-58, 0x1.10275a9060d1ep-58, 0x1.f1921c223a903p-59,
     0x1.c70eff9990bb7p-59, 0x1.a05f017362a60p-59, 0x1.7d25ddf6f75d9p-59, 0x1.5d1062954c44cp-59,
     0x1.3230da689c46bp-51, 0x1.01825f163e866p-51, 0x1.b1e87305e1a43p-52, 0x1.6e3762c97967ep-52,
     0x1.359faba6ff361p-52, 0x1.063a4040cd71fp-52, 0x1.bcedf5eace47ep-53, 0x1.7a1911238c229p-53,
     0x1.291d508d4ed72p-45, 0x1.b15dae42502c1p-46, 0x1.3e11b41b1f7a0p-46, 0x1.d5cddbcde1704p-47,
     0x1.5d12445897791p-47, 0x1.04e70b33864d5p-47, 0x1.8842b2bb66ef0p-48, 0x1.2889ab5d290a6p-48,
     0x1.89d3c30eabb8ap-41, 0x1.d0c2dfae9ff99p-42, 0x1.17c50c748941ap-42, 0x1.5743f14c2d118p-43,
     0x1.acce2a44679cfp-44, 0x1.106df014a197bp-44, 0x1.5fca8c8e16c6ap-45, 0x1.cd45796d9afbfp-46,
     0x1.f71754dbb1d0ap-39, 0x1.d597b5fb7d192p-40, 0x1.cbf5396d88e7ep-41, 0x1.d68261a2e8795p-42,
     0x1.f48ae8b721ee5p-43, 0x1.13dc1ce265a2ep-43, 0x1.3a01e93d77392p-44, 0x1.700b68027293cp-45,
     0x1.5aed7f8ac84afp-38, 0x1.13e12e5ca42ecp-39, 0x1.dada0e336e4aep-41, 0x1.b5276f187920ep-42,
     0x1.aa7a5550ad41ep-43, 0x1.b58a27f601d1ep-44, 0x1.d5181ff49b554p-45, 0x1.0568cf819af16p-45,
     0x1.cf6cf982e4d6ep-39, 0x1.5a337d07e14b5p-40, 0x1.1c5facd6093eep-41, 0x1.f95823b85d3d0p-43,
     0x1.dfa52f84954c2p-44, 0x1.e1937bc10de24p-45, 0x1.fb80eaaa97a79p-46, 0x1.16ebab8847b4bp-46,
     0x1.e68bdf5499b1cp-40, 0x1.65e49380a31f5p-41, 0x1.22cd218427c8cp-42},
    // a9
    {-0x1.a5dd9bb2b532ap-66, -0x1.7f48aab27c04cp-66, -0x1.5c65181926f05p-66, -0x1.3cd4974426486p-66,
     -0x1.2042a033a696ep-66, -0x1.06636358fc72ep-66, -0x1.dde5b63323cdfp-67, -0x1.b367ef44d8b2ep-67,
     -0x1.7af895b170dcbp-58, -0x1.3b6f6973a396ep-58, -0x1.0705dd5cb234bp-58, -0x1.b76b0196eb5f0p-59,
     -0x1.6fb3661b2c3b5p-59, -0x1.3439243d950e6p-59, -0x1.02cf7c3e20f49p-59, -0x1.b3609b7006350p-60,
     -0x1.50e87543f5fe4p-51, -0x1.e17971ee8f3d6p-52, -0x1.5a439d079cabfp-52, -0x1.f532dc721148dp-53,
     -0x1.6cf847794705ep-53, -0x1.0b5f3ed631e0bp-53, -0x1.8a0db5ee53b49p-54, -0x1.240c3b2b244a3p-54,
     -0x1.7896dd01ebd79p-46, -0x1.ab78ee6f729e5p-47, -0x1.ef4b3fd5fe47fp-48, -0x1.2498626b1c64fp-48,
     -0x1.602dd309401f8p-49, -0x1.af7134d5311bap-50, -0x1.0cbdc33608262p-50, -0x1.542b9d48f3268p-51,
     -0x1.60541a3815866p-43, -0x1.33af0161bade9p-44, -0x1.1ab039d36fcbap-45, -0x1.0fef773527c98p-46,
     -0x1.10b7a8923459ap-47, -0x1.1c0bf6cd4d012p-48, -0x1.3235fdf343da3p-49, -0x1.54a33834ef1c6p-50,
     -0x1.2a021de5c4a56p-42, -0x1.afe451e8e0572p-44, -0x1.54f85eaee694fp-45, -0x1.21ab4946f2cb3p-46,
     -0x1.0628eed6fba79p-47, -0x1.f5605b8ef8898p-49, -0x1.f721bd1fdad1bp-50, -0x1.076d17cb7747bp-50,
     -0x1.abf4b5daab45ap-43, -0x1.1f7ac8028546ep-44, -0x1.acd35ed6146f5p-46, -0x1.5cccca93d6381p-47,
     -0x1.312cc66a5dd1ep-48, -0x1.1c21bcc3d3326p-49, -0x1.171a2d4cea0cap-50, -0x1.1f41103e9d201p-51,
     -0x1.c9519cfcce313p-44, -0x1.2d459ab1a5a7bp-45, -0x1.bb3e2a2be8102p-47},
    // a10
    {0x1.0397e25ea0a5cp-73, 0x1.d5622ca368ae7p-74, 0x1.a88f01b5b38bap-74, 0x1.8031fca74cb86p-74,
     0x1.5bd50d095b07dp-74, 0x1.3b0ec5806a52bp-74, 0x1.1d80f624da31cp-74, 0x1.02d76fa09ff4ap-74,
     0x1.bf456592976b3p-65, 0x1.70a4791e28b16p-65, 0x1.30629ad259e7fp-65, 0x1.f78e26aa92317p-66,
     0x1.a142f2c713183p-66, 0x1.5a5c6dbb61411p-66, 0x1.20018089a026ep-66, 0x1.dfc9214e11be1p-67,
     0x1.6de3533e69843p-57, 0x1.006a8db528c9ap-57, 0x1.69bf8ff9ffd4ep-58, 0x1.00cefd0365761p-58,
     0x1.6ee7a77460a57p-59, 0x1.07b47c4113527p-59, 0x1.7d55526734bb0p-60, 0x1.1553ff221029ap-60,
     0x1.5bae1e05c5401p-51, 0x1.7c43d719a5222p-52, 0x1.a8bb7b8e8c2a2p-53, 0x1.e3ff64b4e8270p-54,
     0x1.1914f0356a06ap-54, 0x1.4c787044227a4p-55, 0x1.90211bd85c611p-56, 0x1.e992b3a01fb55p-57,
     0x1.e26bde343fff1p-48, 0x1.8b057da35d7b9p-49, 0x1.5519da7ced3e3p-50, 0x1.351aebe7a109cp-51,
     0x1.24af6d3b559f7p-52, 0x1.2073fef673ca9p-53, 0x1.26dc49889cef3p-54, 0x1.37a75ae6d4348p-55,
     0x1.fad451be7d5fdp-47, 0x1.4f2eec89da0b6p-48, 0x1.e619166c205b9p-50, 0x1.7d770ec1fa955p-51,
     0x1.40896c90c494ep-52, 0x1.1de1d8ce3e36dp-53, 0x1.0cac9929d6065p-54, 0x1.0875129c93056p-55,
     0x1.89f4b3ddd5c3dp-47, 0x1.dc351b1aa5434p-49, 0x1.42a2ac0d83c50p-50, 0x1.e0a17a9aed937p-52,
     0x1.83bceac99c4ddp-53, 0x1.4ed50b0934e04p-54, 0x1.32a13a9d81de1p-55, 0x1.27891e94d3743p-56,
     0x1.ad8047709b969p-48, 0x1.fae2a8d4577f4p-50, 0x1.519d6ae4fd4b2p-51},
    // a11
    {-0x1.315adffbf140bp-81, -0x1.12c49cbae6a03p-81, -0x1.eeb974222c4a0p-82, -0x1.bd971388b4f4ep-82,
     -0x1.91863a0e884f2p-82, -0x1.69fc4d47eff9cp-82, -0x1.467dfda3be4ebp-82, -0x1.269d8947ffcb2p-82,
     -0x1.f999d966a360cp-72, -0x1.9cd3748035cc6p-72, -0x1.51afb11d1f48ep-72, -0x1.14b821f2e5fc8p-72,
     -0x1.c6535d1e4e43cp-73, -0x1.759e8c0f4af3cp-73, -0x1.33c9103649348p-73, -0x1.fbfa9bc483c63p-74,
     -0x1.7e3de3f67740ep-63, -0x1.06f22387f7377p-63, -0x1.6c278558ba823p-64, -0x1.fb9512775f0aap-65,
     -0x1.63fe01b70adffp-65, -0x1.f6723a9309e5cp-66, -0x1.64ba32a40e95fp-66, -0x1.fd8c10dad3c27p-67,
     -0x1.376f0e240f350p-56, -0x1.48a63c0789520p-57, -0x1.6254f5d65ecf0p-58, -0x1.85edc94103887p-59,
     -0x1.b595322da04b9p-60, -0x1.f4531fb408c10p-61, -0x1.232e51562d178p-61, -0x1.58bf55723937dp-62,
     -0x1.44ff235fb7181p-52, -0x1.f3be1738e3a5ep-54, -0x1.9616a761915dcp-55, -0x1.5b10e40bcb38ap-56,
     -0x1.369af3177a4b3p-57, -0x1.21edb0e822062p-58, -0x1.194346ef784cdp-59, -0x1.1aac5074aaaa6p-60,
     -0x1.ae8692eb6e574p-51, -0x1.03dd46dbce825p-52, -0x1.5a2b9c677cfd8p-54, -0x1.f5ea2cced614fp-56,
     -0x1.879a37911f5c0p-57, -0x1.45c83a159b640p-58, -0x1.1ec20a73c2417p-59, -0x1.09558d4f0dffcp-60,
     -0x1.6d60c499a4ddcp-51, -0x1.8ccf163c1cacap-53, -0x1.e7e8d5d8b311bp-55, -0x1.4c87f9dcc8a1fp-56,
     -0x1.ee64361a87559p-58, -0x1.8bc98969a5923p-59, -0x1.51c4a3e6336d5p-60, -0x1.30c3c02c44ebdp-61,
     -0x1.97939b38e6465p-52, -0x1.adf8a99d69955p-54, -0x1.02ea7e7f421fep-55},
    // a12
    {0x1.588db55572bd5p-89, 0x1.34a58821bed12p-89, 0x1.149cf35072419p-89, 0x1.f00b0a455d258p-90,
     0x1.bcfaf07227ddap-90, 0x1.8f5c69895e973p-90, 0x1.6696002b45d04p-90, 0x1.421fa98bea462p-90,
     0x1.128b2e7b78ce5p-78, 0x1.bc529245ec75ep-79, 0x1.68339ddc9ff39p-79, 0x1.2488a542fd90dp-79,
     0x1.dc016994a2beap-80, 0x1.83f59981e379ap-80, 0x1.3cc0e71e5dfcap-80, 0x1.0310e0c6c27eep-80,
     0x1.80afea16d627fp-69, 0x1.03f656b73afd4p-69, 0x1.61b19c502d472p-70, 0x1.e45d360c6583ap-71,
     0x1.4dc7142133b9ap-71, 0x1.cee66f8e54e57p-72, 0x1.42f560e41e88bp-72, 0x1.c55b81e56b619p-73,
     0x1.0df8994cce6c7p-61, 0x1.134c1e40ea89bp-62, 0x1.1eeb4593ec26bp-63, 0x1.3157ad7de3cb9p-64,
     0x1.4b82a14627f36p-65, 0x1.6edf0a038e03bp-66, 0x1.9d8037a8d5c67p-67, 0x1.da48b32b476b5p-68,
     0x1.aaa751c86c68fp-57, 0x1.34c42f66e822ep-58, 0x1.d9437a48d87b7p-60, 0x1.7e387b698e973p-61,
     0x1.43debfe2eade3p-62, 0x1.1ec55b2b7f7c5p-63, 0x1.0862a60a696e5p-64, 0x1.f9ee7aaaebe21p-66,
     0x1.66fda40a5cc3cp-55, 0x1.8cacb96393193p-57, 0x1.e67dccf5a1ca3p-59, 0x1.4669efefb33f6p-60,
     0x1.d9a7b8bf30e23p-62, 0x1.7002181a41cb6p-63, 0x1.2fb32f17e5a65p-64, 0x1.0864431868acdp-65,
     0x1.4e360e4f16934p-55, 0x1.46f37a3b57c94p-57, 0x1.6d82421c86e7bp-59, 0x1.c88d74ea25a54p-61,
     0x1.391a1a97a3c34p-62, 0x1.d12aed5ddcfc0p-64, 0x1.72384a8f8489bp-65, 0x1.38e93d666afa4p-66,
     0x1.7e2075558da2fp-56, 0x1.69360fb1b1350p-58, 0x1.89fb9461eedaep-60},
};
// END TABLE

// The largest |z| upper_tail takes (its last row ends just beyond): Q(40) rounds to 0.
inline constexpr double REACH = 40.0;

namespace detail {

// Estrin's scheme for c[0] + c[1] x + ... + c[N-1] x^(N-1), with x2 = x^2, x4 = x^4, x8 = x^8:
// a shorter chain of dependent operations than Horner's, in a fixed order.
template <int N>
constexpr double estrin(const double* c, double x, double x2, double x4, double x8) noexcept {
    if constexpr (N == 1) {
        return c[0];
    } else if constexpr (N == 2) {
        return c[0] + c[1] * x;
    } else if constexpr (N <= 4) {
        return estrin<2>(c, x, x2, x4, x8) + x2 * estrin<N - 2>(c + 2, x, x2, x4, x8);
    } else if constexpr (N <= 8) {
        return estrin<4>(c, x, x2, x4, x8) + x4 * estrin<N - 4>(c + 4, x, x2, x4, x8);
    } else {
        static_assert(N <= 16);
        return estrin<8>(c, x, x2, x4, x8) + x8 * estrin<N - 8>(c + 8, x, x2, x4, x8);
    }
}

// x = high + (x - high), high the 26 leading bits of x (Veltkamp's split).
constexpr double leading_26_bits(double x) noexcept {
    constexpr double SPLITTER = 134217729.0;  // 2^27 + 1
    const double t = x * SPLITTER;
    return t - (t - x);
}

constexpr std::uint64_t bits(double x) noexcept { return std::bit_cast<std::uint64_t>(x); }
constexpr double from_bits(std::uint64_t b) noexcept { return std::bit_cast<double>(b); }

}  // namespace detail

// q[i] = Q(z[i]) for |z[i]| <= REACH (beyond, the row would be past the table's end). Blocks of
// local arrays, which nothing else can alias, so that the compilers vectorise the loop over them
// (gathering each element's row of the table).
inline void upper_tail(const double* z, double* q, std::size_t n) noexcept {
    using detail::bits;
    using detail::estrin;
    using detail::from_bits;
    constexpr std::size_t BLOCK = 16;
    constexpr std::uint64_t FIRST_ROW = std::bit_cast<std::uint64_t>(0.25) >> 49;
    constexpr std::uint64_t ROW_BITS = ~((std::uint64_t{1} << 49) - 1);
    constexpr std::uint64_t HALF_ROW = std::uint64_t{1} << 48;
    constexpr double INV_LN2_8 = 0x1.71547652b82fep+3;  // 8 / ln 2: any nearby value will do
    constexpr double ROUNDER = 0x1.8p52;  // adding it rounds to an integer, held in the low bits

    for (std::size_t start = 0; start < n; start += BLOCK) {
        const std::size_t count = n - start < BLOCK ? n - start : BLOCK;
        // The padding repeats the first element (a known constant there would tempt the compilers
        // to hoist table reads out of the loop, and then not vectorise it).
        double in[BLOCK], out[BLOCK];
        for (std::size_t i = 0; i < BLOCK; ++i) in[i] = z[start + (i < count ? i : 0)];
        for (std::size_t i = 0; i < BLOCK; ++i) {
            const double x = std::fabs(in[i]);

            // R(x) = a0 + t X(t) on the row of y = x + 1/4: its interval has the centre
            // c = y's leading four bits and a fifth, less 1/4, and the half width 2^e/16.
            const std::uint64_t y = bits(x + 0.25);
            const std::uint64_t at = (y >> 49) - FIRST_ROW;
            const double centre = from_bits((y & ROW_BITS) | HALF_ROW) - 0.25;
            const double inv_half = from_bits((2050 - (y >> 52)) << 52);
            const double t = (x - centre) * inv_half;
            double a[std::size(TABLE)];
            for (std::size_t j = 0; j < std::size(a); ++j) a[j] = TABLE[j][at];
            const double t2 = t * t, t4 = t2 * t2, t8 = t4 * t4;
            const double tx = t * estrin<std::size(a) - 2>(a + 2, t, t2, t4, t8);

            // exp(-x^2/2) = 2^(-m/8) exp(r), |r| <= ln(2)/16: x = s + d with s the 26 leading
            // bits of x, so that s^2 is exact and x^2 = s^2 + d (s + x), the second term small.
            const double s = detail::leading_26_bits(x);
            const double d = x - s;
            const double half_s2 = -0.5 * (s * s);
            const double rest = -0.5 * (d * (s + x));
            const double rounded = half_s2 * INV_LN2_8 + ROUNDER;
            const double minus_m = rounded - ROUNDER;
            const std::uint64_t m = bits(ROUNDER) - bits(rounded);  // >= 0
            const double r = (half_s2 - minus_m * LN2_8_HIGH) + (rest - minus_m * LN2_8_LOW);  // first part exact
            const double r2 = r * r, r4 = r2 * r2;
            const double e1 = r + r2 * estrin<EXP_COEFFS.size()>(EXP_COEFFS.data(), r, r2, r4, r4 * r4);  // exp(r) - 1

            // Q(x) 2^(m/8 rounded down) = (p_high + p_low)(1 + e1)(a0_high + a0_low + t X), with
            // p = 2^(-(m mod 8)/8): p_high a0_high is exact, the rest about a tenth of it.
            const double p_high = POW2[0][m & 7], p_low = POW2[1][m & 7];
            const double a0_high = a[0], a0_low = a[1];
            const double lead = p_high * a0_high;
            const double r_x = a0_low + tx;
            const double others = lead * e1 + (p_high * r_x + p_low * (a0_high + r_x)) * (1.0 + e1);

            // 2^(-(m >> 3)) in two steps, each a normal double, so that a subnormal Q is rounded once.
            const std::uint64_t k = m >> 3, k1 = k >> 1, k2 = k - k1;
            const double scale1 = from_bits((1023 - k1) << 52), scale2 = from_bits((1023 - k2) << 52);
            const double positive = ((lead + others) * scale1) * scale2;

            // 1 - Q(x): Q(x) <= 1/2 is normal here, so its two parts scale exactly.
            const double high = (lead * scale1) * scale2, low = (others * scale1) * scale2;
            const double one_minus = 1.0 - high;
            const double back = one_minus - 1.0;
            const double one_minus_err = (1.0 - (one_minus - back)) + (-high - back);
            const double negative = one_minus + (one_minus_err - low);

            // A select on the sign bit, written with bits so that the compilers keep it branch-free.
            const std::uint64_t mask = 0 - (bits(in[i]) >> 63);
            out[i] = from_bits((bits(negative) & mask) | (bits(positive) & ~mask));
        }
        for (std::size_t i = 0; i < count; ++i) q[start + i] = out[i];
    }
}

inline double upper_tail(double z) noexcept {
    double q;
    upper_tail(&z, &q, 1);
    return q;
}

}  // namespace gmms::normal_tail

#endif  // GMMS_NORMAL_TAIL_HPP
