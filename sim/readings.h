#pragma once
// What a simulated meter measures: a three-phase load whose voltages,
// currents and power factors drift slowly, and every quantity the register
// map derives from them. Pure functions of (parameters, time), so a seed and
// a time give the same numbers on every run.

#include <array>
#include <cstddef>
#include <cstdint>

// One entry per quantity the meter presents, in the order of the integer
// registers 1..42 (the float pairs use the same quantities in another order).
enum class Quantity {
  Kwh, Kw, Kvar, Kva, Pf, Vll, Vln, AmpsAvg,
  KwA, KwB, KwC, PfA, PfB, PfC,
  Vab, Vbc, Vac, Van, Vbn, Vcn,
  AmpsA, AmpsB, AmpsC, Unused, Hz, Kvah, Kvarh,
  KvaA, KvaB, KvaC, KvarA, KvarB, KvarC,
  KwDemand, KvarDemand, KvaDemand, KwMax, KvarMax, KvaMax,
  Count
};

constexpr size_t kQuantityCount = static_cast<size_t>(Quantity::Count);
using Readings = std::array<double, kQuantityCount>;

inline double& At(Readings& r, Quantity q) { return r[static_cast<size_t>(q)]; }
inline double At(const Readings& r, Quantity q) { return r[static_cast<size_t>(q)]; }

// The load a meter sees, drawn once from the seed.
struct LoadParams {
  double vln = 0;        // nominal line-to-neutral volts
  double amps[3] = {};   // nominal current per phase
  double angle[3] = {};  // radians the current lags its voltage
  double drift[3][4] = {};  // phase offsets of the slow drifts, per phase
  double kwh = 0;        // energy registers at start
  double kvah = 0;
  double kvarh = 0;
};

// Meters at different addresses on one bus get different loads.
LoadParams LoadParamsFromSeed(uint32_t seed, int address);

// The instantaneous quantities at phase time t (seconds). Energies, demands
// and maxima are accumulated by the meter and left 0 here.
Readings InstantReadings(const LoadParams& p, double t);

// Total real power the load draws on average, for back-dating energy.
double NominalKw(const LoadParams& p);
