#include "korvane/window_moments.hpp"

#include <cstdlib>
#include <cstring>

namespace korvane::moments {

namespace {

// A window of two series summed afresh from row `first`: its values are
// taken relative to the two series' values there.
template <typename Window>
void start_window(Window& m, const double* const* series, std::int64_t first, std::int64_t rows) {
  m.valid = true;
  m.lo = first;
  m.n = rows;
  m.edits = 0;
  m.base[0] = series[0][first];
  m.base[1] = series[1][first];
}

}  // namespace

void PairMoments::assign(const double* const* series, std::int64_t first, std::int64_t rows,
                         std::int64_t step) {
  start_window(*this, series, first, rows);
  stride = step;
  // Plain sums in several lanes are exact enough for one pass over a window.
  double ss[2] = {0, 0}, tt[2] = {0, 0}, pp[3] = {0, 0, 0}, cc[4] = {0, 0, 0, 0},
         dd[3] = {0, 0, 0};
  double prev_a = 0.0, prev_b = 0.0;
  for (std::int64_t j = 0; j < rows; ++j) {
    const double a = u(series, 0, j), b = u(series, 1, j);
    const double x = static_cast<double>(j);
    ss[0] += a;
    ss[1] += b;
    tt[0] += x * a;
    tt[1] += x * b;
    if (j > 0) {
      const double da = a - prev_a, db = b - prev_b;
      pp[0] += a * a;
      pp[1] += a * b;
      pp[2] += b * b;
      cc[0] += a * da;
      cc[1] += a * db;
      cc[2] += b * da;
      cc[3] += b * db;
      dd[0] += da * da;
      dd[1] += da * db;
      dd[2] += db * db;
    }
    prev_a = a;
    prev_b = b;
  }
  for (int i = 0; i < 2; ++i) {
    s[i] = CompensatedSum{ss[i], 0.0};
    t[i] = CompensatedSum{tt[i], 0.0};
  }
  for (int i = 0; i < 3; ++i) {
    p[i] = CompensatedSum{pp[i], 0.0};
    d[i] = CompensatedSum{dd[i], 0.0};
  }
  for (int i = 0; i < 4; ++i) c[i] = CompensatedSum{cc[i], 0.0};
}

void PairMoments::slide(const double* const* series, std::int64_t rows) {
  // Inputs are read into locals first: the sums are doubles too, and the
  // compiler could not otherwise keep values across their updates.
  const double* sa = series[0];
  const double* sb = series[1];
  const double ba = base[0], bb = base[1];
  const std::int64_t step = stride;
  std::int64_t first = lo;
  const std::int64_t count = n;
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::int64_t end = first + count * step;
    // Row n enters (differences against row n-1).
    const double a = sa[end] - ba, b = sb[end] - bb;
    const double da = a - (sa[end - step] - ba), db = b - (sb[end - step] - bb);
    // Row 0 leaves: row 1 becomes row 0, so its products leave the sums over
    // j >= 1 and every index drops by one.
    const double a0 = sa[first] - ba, b0 = sb[first] - bb;
    const double a1 = sa[first + step] - ba, b1 = sb[first + step] - bb;
    const double da1 = a1 - a0, db1 = b1 - b0;
    const double x = static_cast<double>(count);
    s[0].add(a - a0);
    s[1].add(b - b0);
    p[0].add(a * a - a1 * a1);
    p[1].add(a * b - a1 * b1);
    p[2].add(b * b - b1 * b1);
    c[0].add(a * da - a1 * da1);
    c[1].add(a * db - a1 * db1);
    c[2].add(b * da - b1 * da1);
    c[3].add(b * db - b1 * db1);
    d[0].add(da * da - da1 * da1);
    d[1].add(da * db - da1 * db1);
    d[2].add(db * db - db1 * db1);
    // sum j u(j) over old rows 1 .. n re-indexed to j - 1: the old sum
    // (row 0's term is 0) plus row n's, less the new level sum.
    t[0].add(x * a - s[0].value());
    t[1].add(x * b - s[1].value());
    first += step;
  }
  lo = first;
  edits += static_cast<int>(rows);
}

Sums PairMoments::sums(const double* const* series) const {
  Sums r;
  r.n = n;
  for (int i = 0; i < 2; ++i) {
    r.s[i] = s[i].value();
    r.t[i] = t[i].value();
    r.first[i] = u(series, i, 0);
    r.last[i] = u(series, i, n - 1);
    r.td[i] = static_cast<double>(n) * r.last[i] - r.s[i];
  }
  for (int i = 0; i < 3; ++i) {
    r.p[i] = p[i].value();
    r.d[i] = d[i].value();
  }
  for (int i = 0; i < 4; ++i) r.c[i] = c[i].value();
  return r;
}

void PairMoments::move_to(const double* const* series, std::int64_t first, std::int64_t rows,
                          std::int64_t step) {
  const std::int64_t delta = first - lo;
  // A slide costs about two rows of a fresh sum.
  if (valid && rows == n && step == stride && rows >= 2 && delta >= 0 && delta % step == 0 &&
      2 * (delta / step) < n && !refresh_due(edits, delta / step, rows) && finite()) {
    slide(series, delta / step);
    return;
  }
  assign(series, first, rows, step);
}

void SeriesMoments::assign(const double* series, std::int64_t first, std::int64_t rows) {
  valid = true;
  lo = first;
  n = rows;
  base = series[first];
  last_nonfinite = -1;
  double ss = 0, tt = 0, pp = 0, cc = 0, dd = 0, prev = 0.0;
  for (std::int64_t j = 0; j < rows; ++j) {
    const double a = series[first + j] - base;
    if (!std::isfinite(a)) last_nonfinite = first + j;
    ss += a;
    tt += static_cast<double>(j) * a;
    if (j > 0) {
      const double da = a - prev;
      pp += a * a;
      cc += a * da;
      dd += da * da;
    }
    prev = a;
  }
  stale = last_nonfinite >= first;
  s = CompensatedSum{ss, 0.0};
  t = CompensatedSum{tt, 0.0};
  p = CompensatedSum{pp, 0.0};
  c = CompensatedSum{cc, 0.0};
  d = CompensatedSum{dd, 0.0};
}

void SeriesMoments::relocate(const double* series, std::int64_t first, std::int64_t rows) {
  // The path restarts from the last refresh point at or before the window.
  const std::int64_t every = rows > kRefreshEdits ? rows : kRefreshEdits;
  const std::int64_t checkpoint = first - first % every;
  if (!valid || rows != n || first < lo || lo < checkpoint) assign(series, checkpoint, rows);
  while (lo < first) {
    const std::int64_t end = lo + n;  // the bar entering the window
    if (!std::isfinite(series[end])) last_nonfinite = end;
    if (last_nonfinite > lo) {
      ++lo;
      stale = true;
    } else if (stale) {
      assign(series, lo + 1, n);
    } else {
      const double b0 = base;
      const double a = series[end] - b0, da = a - (series[end - 1] - b0);
      const double a0 = series[lo] - b0, a1 = series[lo + 1] - b0, da1 = a1 - a0;
      s.add(a - a0);
      p.add(a * a - a1 * a1);
      c.add(a * da - a1 * da1);
      d.add(da * da - da1 * da1);
      t.add(static_cast<double>(n) * a - s.value());
      ++lo;
    }
  }
}

namespace {

// A row's cross products from its levels u = (a, b) about the bases and its
// changes du = (da, db): (a b, a db) and (b da, da db).
struct CrossProducts {
  Lanes2 levels_first, levels_second;
  CrossProducts(Lanes2 u, Lanes2 du)
      : levels_first(__builtin_shufflevector(u, u, 0, 0) * __builtin_shufflevector(u, du, 1, 3)),
        levels_second(__builtin_shufflevector(u, du, 1, 2) * du) {}
};

}  // namespace

void CrossMoments::assign(const double* const* series, std::int64_t first, std::int64_t rows) {
  start_window(*this, series, first, rows);
  const double* sa = series[0];
  const double* sb = series[1];
  // Plain sums, as the slides' pairs of lanes: (a b, a db) and (b da, da db).
  const Lanes2 bases = {base[0], base[1]};
  Lanes2 s01 = {0.0, 0.0}, s23 = {0.0, 0.0};
  Lanes2 previous = {sa[first], sb[first]};
  for (std::int64_t j = first + 1; j < first + rows; ++j) {
    const Lanes2 y = {sa[j], sb[j]};
    const CrossProducts row(y - bases, y - previous);
    s01 += row.levels_first;
    s23 += row.levels_second;
    previous = y;
  }
  std::memcpy(sum, &s01, sizeof s01);
  std::memcpy(sum + 2, &s23, sizeof s23);
  for (double& c : carry) c = 0.0;
}

void CrossMoments::relocate(const double* const* series, std::int64_t first, std::int64_t rows) {
  const std::int64_t delta = first - lo;
  if (!valid || rows != n || rows < 2 || delta < 0 || 2 * delta >= n ||
      refresh_due(edits, delta, rows, kCrossRefreshTimes) || !finite()) {
    assign(series, first, rows);
    return;
  }
  const double* sa = series[0];
  const double* sb = series[1];
  const double ba = base[0], bb = base[1];
  Lanes2 s01, s23, c01, c23;
  std::memcpy(&s01, sum, sizeof s01);
  std::memcpy(&s23, sum + 2, sizeof s23);
  std::memcpy(&c01, carry, sizeof c01);
  std::memcpy(&c23, carry + 2, sizeof c23);
  // Both series side by side: a row's levels about the bases (a, b) and
  // changes (da, db), for the row entering and for row 1, which leaves the
  // sums over j >= 1. A row's closes are read once: the next row's previous.
  // The few rows' changes of one move are added up first, and their total
  // enters the compensated sums once.
  const Lanes2 bases = {ba, bb};
  Lanes2 before_end = {sa[lo + n - 1], sb[lo + n - 1]}, row0 = {sa[lo], sb[lo]};
  Lanes2 change01 = {0.0, 0.0}, change23 = {0.0, 0.0};
  for (std::int64_t r = 0; r < delta; ++r) {
    const std::int64_t end = lo + n;
    const Lanes2 at_end = {sa[end], sb[end]}, row1 = {sa[lo + 1], sb[lo + 1]};
    const CrossProducts in(at_end - bases, at_end - before_end), out(row1 - bases, row1 - row0);
    change01 += in.levels_first - out.levels_first;
    change23 += in.levels_second - out.levels_second;
    before_end = at_end;
    row0 = row1;
    ++lo;
  }
  add_compensated(s01, c01, change01);
  add_compensated(s23, c23, change23);
  std::memcpy(sum, &s01, sizeof s01);
  std::memcpy(sum + 2, &s23, sizeof s23);
  std::memcpy(carry, &c01, sizeof c01);
  std::memcpy(carry + 2, &c23, sizeof c23);
  edits += static_cast<int>(delta);
}

Sums pair_sums(const SeriesSums& a, const SeriesSums& b, const CrossMoments& ab,
               const double* const* series) {
  Sums r;
  const std::int64_t n = ab.n;
  r.n = n;
  const double nn = static_cast<double>(n), mm = static_cast<double>(n - 1);
  const SeriesSums* one[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const SeriesSums& m = *one[i];
    const double* y = series[i];
    // Levels about the pair's base are the security's plus delta.
    const double delta = m.base - ab.base[i];
    r.first[i] = y[ab.lo] - ab.base[i];
    r.last[i] = y[ab.lo + n - 1] - ab.base[i];
    const double s = m.s;
    const double own_first = y[ab.lo] - m.base, own_last = y[ab.lo + n - 1] - m.base;
    r.s[i] = s + nn * delta;
    r.t[i] = m.t + delta * (0.5 * nn * (nn - 1.0));
    r.td[i] = nn * r.last[i] - r.s[i];
    const double own_p = m.p + delta * (2.0 * (s - own_first) + mm * delta);
    r.p[i == 0 ? 0 : 2] = own_p;
    r.c[i == 0 ? 0 : 3] = m.c + delta * (own_last - own_first);
    r.d[i == 0 ? 0 : 2] = m.d;
  }
  r.p[1] = ab.value(CrossMoments::kLevels);
  r.c[1] = ab.value(CrossMoments::kLevelByDifference);
  r.c[2] = ab.value(CrossMoments::kDifferenceByLevel);
  r.d[1] = ab.value(CrossMoments::kDifferences);
  return r;
}

void LevelMoments::assign(const double* const* series, std::int64_t first, std::int64_t rows) {
  start_window(*this, series, first, rows);
  double ss[2] = {0, 0}, pp[3] = {0, 0, 0};
  for (std::int64_t j = first; j < first + rows; ++j) {
    const double a = series[0][j] - base[0], b = series[1][j] - base[1];
    ss[0] += a;
    ss[1] += b;
    pp[0] += a * a;
    pp[1] += a * b;
    pp[2] += b * b;
  }
  const double sums[6] = {ss[0], ss[1], pp[0], pp[1], pp[2], 0.0};
  std::memcpy(sum, sums, sizeof sum);
  for (double& c : carry) c = 0.0;
}

namespace {

// The five sums of a LevelMoments as three vectors: levels, the first two
// products, the last product (and the unused lane).
struct LevelLanes {
  Lanes2 sum[3], carry[3];
  explicit LevelLanes(const LevelMoments& m) {
    std::memcpy(sum, m.sum, sizeof sum);
    std::memcpy(carry, m.carry, sizeof carry);
  }
  void store(LevelMoments& m) const {
    std::memcpy(m.sum, sum, sizeof sum);
    std::memcpy(m.carry, carry, sizeof carry);
  }
  void add(Lanes2 levels, Lanes2 products, Lanes2 last) {
    add_compensated(sum[0], carry[0], levels);
    add_compensated(sum[1], carry[1], products);
    add_compensated(sum[2], carry[2], last);
  }
};

}  // namespace

void LevelMoments::move_to(const double* const* series, std::int64_t first, std::int64_t rows) {
  const std::int64_t end = first + rows, old_end = lo + n;
  const std::int64_t cost = std::llabs(first - lo) + std::llabs(end - old_end);
  if (!valid || first >= old_end || end <= lo || cost >= rows || refresh_due(edits, cost, rows) ||
      !std::isfinite(sum[kA] + sum[kB] + carry[kA] + carry[kB])) {
    assign(series, first, rows);
    return;
  }
  LevelLanes lanes(*this);
  if (first == lo + 1 && rows == n) {
    // The window slid by one bar: one row in, one out.
    const double* sa = series[0];
    const double* sb = series[1];
    const double a = sa[end - 1] - base[0], b = sb[end - 1] - base[1];
    const double a0 = sa[lo] - base[0], b0 = sb[lo] - base[1];
    lanes.add(Lanes2{a, b} - Lanes2{a0, b0},
              Lanes2{a, a} * Lanes2{a, b} - Lanes2{a0, a0} * Lanes2{a0, b0},
              Lanes2{b, 0.0} * Lanes2{b, 0.0} - Lanes2{b0, 0.0} * Lanes2{b0, 0.0});
    lanes.store(*this);
    lo = first;
    edits += 2;
    return;
  }
  // The rows that enter and leave are added up first (the window's ends move
  // by a few rows), and their net change enters the compensated sums once.
  Lanes2 levels = {0.0, 0.0}, products = {0.0, 0.0}, last = {0.0, 0.0};
  auto edit = [&](std::int64_t j, double sign) {
    const Lanes2 u = {series[0][j] - base[0], series[1][j] - base[1]};
    const Lanes2 signs = {sign, sign};
    levels += signs * u;
    products += signs * (__builtin_shufflevector(u, u, 0, 0) * u);
    last += signs * (Lanes2{u[1], 0.0} * Lanes2{u[1], 0.0});
  };
  for (std::int64_t j = old_end; j < end; ++j) edit(j, 1.0);
  for (std::int64_t j = end; j < old_end; ++j) edit(j, -1.0);
  for (std::int64_t j = first; j < lo; ++j) edit(j, 1.0);
  for (std::int64_t j = lo; j < first; ++j) edit(j, -1.0);
  lanes.add(levels, products, last);
  lanes.store(*this);
  lo = first;
  n = rows;
  edits += static_cast<int>(cost);
}

johansen::Moments johansen_moments(const Sums& m) {
  const std::int64_t n = m.n, rows = n - 1;
  const double mm = static_cast<double>(rows), nn = static_cast<double>(n);
  // Trend slopes per row over all n rows (regression on j with an intercept).
  const double centre_j = 0.5 * (nn - 1.0);
  const double jj = nn * (nn * nn - 1.0) / 12.0;
  // Divisions by the row counts become multiplications.
  const double inverse_mm = 1.0 / mm, inverse_jj = 1.0 / jj;
  double g[2], mean[2], md[2], uj[2], dj[2];
  const double jbar = 0.5 * (mm + 1.0), var_j = (mm * mm - 1.0) / 12.0;
  for (int i = 0; i < 2; ++i) {
    g[i] = (m.t[i] - centre_j * m.s[i]) * inverse_jj;
    mean[i] = (m.s[i] - m.first[i]) * inverse_mm;      // levels, rows 1 .. n-1
    md[i] = (m.last[i] - m.first[i]) * inverse_mm;     // differences
    uj[i] = m.t[i] * inverse_mm - mean[i] * jbar;      // cov(level, j)
    dj[i] = m.td[i] * inverse_mm - md[i] * jbar;       // cov(difference, j)
  }
  auto level_cov = [&](int a, int b, int slot) {
    const double raw = m.p[slot] * inverse_mm - mean[a] * mean[b];
    return ((raw - g[b] * uj[a]) - g[a] * uj[b]) + g[a] * g[b] * var_j;
  };
  auto cross_cov = [&](int a, int b, int slot) {
    return (m.c[slot] * inverse_mm - mean[a] * md[b]) - g[a] * dj[b];
  };
  johansen::Moments r;
  r.k11 = level_cov(0, 0, 0);
  r.k12 = level_cov(0, 1, 1);
  r.k22 = level_cov(1, 1, 2);
  r.c11 = cross_cov(0, 0, 0);
  r.c12 = cross_cov(0, 1, 1);
  r.c21 = cross_cov(1, 0, 2);
  r.c22 = cross_cov(1, 1, 3);
  r.o11 = m.d[0] * inverse_mm - md[0] * md[0];
  r.o12 = m.d[1] * inverse_mm - md[0] * md[1];
  r.o22 = m.d[2] * inverse_mm - md[1] * md[1];
  return r;
}

SeriesTestStats series_test_stats(const SeriesSums& m, const double* series, std::int64_t lo,
                                  std::int64_t n) {
  SeriesTestStats r;
  r.finite = m.finite;
  r.base = m.base;
  // The test's rows are window rows 1 .. n-1: the window's sums without row 0.
  const double first = series[lo] - m.base, second = series[lo + 1] - m.base;
  const double last = series[lo + n - 1] - m.base, step = second - first;
  const std::int64_t rows = n - 1;
  const double nn = static_cast<double>(rows), mm = static_cast<double>(rows - 1);
  const double s = m.s - first;
  const double t = m.t - s;
  const double td = nn * last - s;
  const double p = m.p - second * second, c = m.c - second * step, d = m.d - step * step;
  // As johansen_moments over those rows: trend on all of them, moments over
  // all but the first.
  const double centre_j = 0.5 * (nn - 1.0);
  const double jj = nn * (nn * nn - 1.0) / 12.0;
  const double inverse_mm = 1.0 / mm, inverse_jj = 1.0 / jj;
  const double jbar = 0.5 * (mm + 1.0), var_j = (mm * mm - 1.0) / 12.0;
  r.g = (t - centre_j * s) * inverse_jj;
  r.mean = (s - second) * inverse_mm;
  r.md = (last - second) * inverse_mm;
  r.uj = t * inverse_mm - r.mean * jbar;
  r.dj = td * inverse_mm - r.md * jbar;
  r.k = ((p * inverse_mm - r.mean * r.mean) - r.g * r.uj - r.g * r.uj) + r.g * r.g * var_j;
  r.c = (c * inverse_mm - r.mean * r.md) - r.g * r.dj;
  r.o = d * inverse_mm - r.md * r.md;
  r.inverse_rows = inverse_mm;
  r.var_j = var_j;
  return r;
}

double halflife_slope(const Sums& m, double h1, double h2) {
  if (m.n < 2) return std::nan("");
  const double count = static_cast<double>(m.n - 1);
  const double h[2] = {h1, h2};
  // Lagged levels are rows 0 .. n-2; the change after row j-1 is du(j).
  double lagged[2], change[2];
  for (int i = 0; i < 2; ++i) {
    lagged[i] = m.s[i] - m.last[i];
    change[i] = m.last[i] - m.first[i];
  }
  const int sym[2][2] = {{0, 1}, {1, 2}};
  const int asym[2][2] = {{0, 1}, {2, 3}};
  double cross = 0.0, squares = 0.0;
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) {
      const double hh = h[a] * h[b];
      const int ps = sym[a][b];
      // sum over rows 0 .. n-2 of u_a u_b: the sum over j >= 1, with row 0
      // added and row n-1 removed.
      const double lag_products = (m.p[ps] + m.first[a] * m.first[b]) - m.last[a] * m.last[b];
      // sum over j >= 1 of u_a(j-1) du_b(j) = u_a(j) du_b(j) - du_a(j) du_b(j).
      const double lag_changes = m.c[asym[a][b]] - m.d[ps];
      squares += hh * (lag_products - lagged[a] * lagged[b] / count);
      cross += hh * (lag_changes - lagged[a] * change[b] / count);
    }
  }
  if (!std::isfinite(cross) || !std::isfinite(squares)) return std::nan("");
  if (squares == 0.0) return 0.0;
  return cross / squares;
}

CombinationStats combination_stats(const LevelMoments& m, double h1, double h2) {
  const double count = static_cast<double>(m.n);
  const double ma = m.value(LevelMoments::kA) / count, mb = m.value(LevelMoments::kB) / count;
  const double vaa = m.value(LevelMoments::kAA) / count - ma * ma;
  const double vab = m.value(LevelMoments::kAB) / count - ma * mb;
  const double vbb = m.value(LevelMoments::kBB) / count - mb * mb;
  double var = (h1 * h1 * vaa + 2.0 * h1 * h2 * vab) + h2 * h2 * vbb;
  if (!(var > 0.0)) var = std::isnan(var) ? var : 0.0;
  CombinationStats r;
  r.shifted_mean = h1 * ma + h2 * mb;
  r.std = std::sqrt(var);
  return r;
}

}  // namespace korvane::moments
