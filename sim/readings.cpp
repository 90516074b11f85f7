#include "sim/readings.h"

#include <cmath>

namespace {

constexpr double kTwoPi = 6.283185307179586;

// splitmix64: small, good enough to spread one seed over a few parameters.
uint64_t NextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Uniform(uint64_t& state, double low, double high) {
  return low + (high - low) * static_cast<double>(NextRandom(state) >> 11) / 9007199254740992.0;
}

double Wave(double t, double periodSeconds, double offset) {
  return std::sin(kTwoPi * t / periodSeconds + offset);
}

// Phasors 120 degrees apart: |Va - Vb|^2 = Va^2 + Vb^2 + Va*Vb, so a
// balanced 277 V system gives 479.8 V line to line (1.732 x).
double LineToLine(double a, double b) { return std::sqrt(a * a + b * b + a * b); }

}  // namespace

LoadParams LoadParamsFromSeed(uint32_t seed, int address) {
  uint64_t state = (static_cast<uint64_t>(seed) << 16) ^ static_cast<uint64_t>(address);
  LoadParams p;
  // A 480Y/277 V service, the usual one for a commercial three-phase meter.
  p.vln = Uniform(state, 272.0, 282.0);
  for (int ph = 0; ph < 3; ++ph) {
    p.amps[ph] = Uniform(state, 60.0, 140.0);
    p.angle[ph] = Uniform(state, 0.15, 0.45);  // PF 0.90 .. 0.99
    for (double& d : p.drift[ph]) d = Uniform(state, 0.0, kTwoPi);
  }
  p.kwh = std::floor(Uniform(state, 1000.0, 50000.0));
  p.kvah = std::floor(p.kwh * 1.06);
  p.kvarh = std::floor(p.kwh * 0.35);
  return p;
}

Readings InstantReadings(const LoadParams& p, double t) {
  Readings r{};
  double volts[3], amps[3], kw[3], kvar[3], kva[3], pf[3];
  for (int ph = 0; ph < 3; ++ph) {
    const double* d = p.drift[ph];
    volts[ph] = p.vln * (1.0 + 0.01 * Wave(t, 37.0, d[0]));
    amps[ph] = p.amps[ph] * (1.0 + 0.25 * Wave(t, 53.0, d[1]) + 0.05 * Wave(t, 7.3, d[2]));
    const double angle = p.angle[ph] + 0.08 * Wave(t, 71.0, d[3]);
    kva[ph] = volts[ph] * amps[ph] / 1000.0;
    kw[ph] = kva[ph] * std::cos(angle);
    kvar[ph] = kva[ph] * std::sin(angle);
    pf[ph] = std::cos(angle);
  }
  const Quantity kwQ[3] = {Quantity::KwA, Quantity::KwB, Quantity::KwC};
  const Quantity pfQ[3] = {Quantity::PfA, Quantity::PfB, Quantity::PfC};
  const Quantity vQ[3] = {Quantity::Van, Quantity::Vbn, Quantity::Vcn};
  const Quantity aQ[3] = {Quantity::AmpsA, Quantity::AmpsB, Quantity::AmpsC};
  const Quantity kvaQ[3] = {Quantity::KvaA, Quantity::KvaB, Quantity::KvaC};
  const Quantity kvarQ[3] = {Quantity::KvarA, Quantity::KvarB, Quantity::KvarC};
  for (int ph = 0; ph < 3; ++ph) {
    At(r, kwQ[ph]) = kw[ph];
    At(r, pfQ[ph]) = pf[ph];
    At(r, vQ[ph]) = volts[ph];
    At(r, aQ[ph]) = amps[ph];
    At(r, kvaQ[ph]) = kva[ph];
    At(r, kvarQ[ph]) = kvar[ph];
  }
  At(r, Quantity::Kw) = kw[0] + kw[1] + kw[2];
  At(r, Quantity::Kvar) = kvar[0] + kvar[1] + kvar[2];
  At(r, Quantity::Kva) = kva[0] + kva[1] + kva[2];
  At(r, Quantity::Pf) = At(r, Quantity::Kw) / At(r, Quantity::Kva);
  At(r, Quantity::Vab) = LineToLine(volts[0], volts[1]);
  At(r, Quantity::Vbc) = LineToLine(volts[1], volts[2]);
  At(r, Quantity::Vac) = LineToLine(volts[0], volts[2]);
  At(r, Quantity::Vln) = (volts[0] + volts[1] + volts[2]) / 3.0;
  At(r, Quantity::Vll) = (At(r, Quantity::Vab) + At(r, Quantity::Vbc) + At(r, Quantity::Vac)) / 3.0;
  At(r, Quantity::AmpsAvg) = (amps[0] + amps[1] + amps[2]) / 3.0;
  At(r, Quantity::Hz) = 60.0 + 0.03 * Wave(t, 41.0, p.drift[0][1]);
  return r;
}

double NominalKw(const LoadParams& p) {
  double kw = 0;
  for (int ph = 0; ph < 3; ++ph) kw += p.vln * p.amps[ph] * std::cos(p.angle[ph]) / 1000.0;
  return kw;
}
