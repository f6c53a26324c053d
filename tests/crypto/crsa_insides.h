#pragma once
// The one window on a station's private key, for the tests, the fuzz targets
// and the benchmarks.
#include "crypto/rsa.h"

struct CrsaInspector {
    static const NTL::ZZ& e(const Crsa& r) { return r.e; }
    static const NTL::ZZ& n(const Crsa& r) { return r.n; }
    static const NTL::ZZ& d(const Crsa& r) { return r.d; }
    static const NTL::ZZ& p(const Crsa& r) { return r.p; }
    static const NTL::ZZ& q(const Crsa& r) { return r.q; }
    static int sign_of_d(const Crsa& r) { return NTL::sign(r.d); }
    // From then on decrypt takes every block to the full power d modulo n,
    // without the factors: the floor the benchmarks hold it against.
    static void forget_factors(Crsa& r) { NTL::clear(r.p); }
};
