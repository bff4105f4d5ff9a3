#include "geo/utm.h"

#include <algorithm>
#include <cmath>

namespace tsl {
namespace {

constexpr double DEG_TO_RAD = 0.017453292519943295;  // pi / 180
// WGS84: a = 6378137 m, f = 1 / 298.257223563, third flattening n = f / (2 - f).
constexpr double ECCENTRICITY = 0.08181919084262149;  // sqrt(f (2 - f))
// Krüger coefficients to the third order in n.
constexpr double ALPHA[3] = {
    0.0008377318188192541,   // n/2 - 2n^2/3 + 5n^3/16
    7.608496958699166e-07,   // 13n^2/48 - 3n^3/5
    1.2034877875966646e-09,  // 61n^3/240
};
constexpr double K0_A = 6364902.166165086;  // 0.9996 * a / (1 + n) * (1 + n^2/4 + n^4/64), m
constexpr double FALSE_EASTING = 500000.0;
constexpr double FALSE_NORTHING_SOUTH = 10000000.0;

double atanh_log1p(double x) { return 0.5 * std::log1p(2.0 * x / (1.0 - x)); }

}  // namespace

int32_t utm_epsg(const UtmFrame& frame) { return (frame.south ? 32700 : 32600) + frame.zone; }

int32_t utm_zone(double lon_deg) {
  if (std::isnan(lon_deg)) return 1;
  const double z = std::floor((lon_deg + 180.0) / 6.0) + 1.0;
  return static_cast<int32_t>(std::clamp(z, 1.0, 60.0));
}

UtmPoint utm_forward(double lat_deg, double lon_deg, int32_t zone, bool south) {
  const int32_t lon0 = 6 * zone - 183;
  const double phi = lat_deg * DEG_TO_RAD;
  const double lambda = lon_deg * DEG_TO_RAD - lon0 * DEG_TO_RAD;
  const double s = std::sin(phi);
  // tan of the conformal latitude
  const double t = std::sinh(atanh_log1p(s) - ECCENTRICITY * atanh_log1p(ECCENTRICITY * s));
  const double xi0 = std::atan2(t, std::cos(lambda));
  const double eta0 = atanh_log1p(std::sin(lambda) / std::sqrt(1.0 + t * t));
  double xi = xi0, eta = eta0;
  for (int j = 1; j <= 3; ++j) {
    xi += ALPHA[j - 1] * std::sin(2 * j * xi0) * std::cosh(2 * j * eta0);
    eta += ALPHA[j - 1] * std::cos(2 * j * xi0) * std::sinh(2 * j * eta0);
  }
  UtmPoint out;
  out.easting = K0_A * eta + FALSE_EASTING;
  out.northing = K0_A * xi + (south ? FALSE_NORTHING_SOUTH : 0.0);
  out.convergence = std::atan(std::tan(lambda) * std::sin(phi));
  return out;
}

double round_half_even(double x) {
  const double r = std::round(x);  // halves away from zero
  if (std::fabs(x - std::trunc(x)) == 0.5) return 2.0 * std::round(x / 2.0);
  return r;
}

}  // namespace tsl
