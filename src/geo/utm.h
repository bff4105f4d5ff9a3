#pragma once
// WGS84 to UTM by the Krüger series, the zone of a longitude, and the local map frame that a
// build's photos share.
#include <cstdint>

namespace tsl {

// A build's local map frame: one UTM zone and hemisphere for the whole set, and an origin on
// a 100 m raster. Local (x, y, z) means easting origin_e + x, northing origin_n + y, and z m
// above the take-off point.
struct UtmFrame {
  int32_t zone = 0;
  bool south = false;     // the set's median latitude is below 0
  double origin_e = 0.0;  // m, a multiple of 100
  double origin_n = 0.0;  // m, a multiple of 100
};

// 32600 + zone, or 32700 + zone in the south.
int32_t utm_epsg(const UtmFrame& frame);

// The zone of a longitude in degrees, 1 to 60 (NaN gives 1, +180 gives 60).
int32_t utm_zone(double lon_deg);

struct UtmPoint {
  double easting = 0.0;       // m
  double northing = 0.0;      // m, plus 10,000,000 when `south` was asked for
  double convergence = 0.0;   // meridian convergence, rad; positive east of the central meridian in the north
};

// Transverse Mercator of (lat, lon) in degrees into `zone` (scale 0.9996, false easting
// 500 km). `south` adds the false northing whatever the point's own latitude, so a set that
// straddles the equator stays in one frame. The series is accurate far beyond a zone's edge.
UtmPoint utm_forward(double lat_deg, double lon_deg, int32_t zone, bool south);

// The nearest integer, a tie going to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
double round_half_even(double x);

}  // namespace tsl
