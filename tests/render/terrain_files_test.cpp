#include "render/terrain_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/test_util.h"
#include "util/text.h"

namespace tsl {
namespace {

// 100 x 37 nodes, 2 m apart, north-west node at local (-40, 30), heights varying along both
// axes with one hole.
Surface test_surface() {
  const uint64_t nx = 100, ny = 37;
  std::vector<float> z(nx * ny);
  for (uint64_t r = 0; r < ny; ++r)
    for (uint64_t c = 0; c < nx; ++c)
      z[r * nx + c] = 10.0f + 0.25f * static_cast<float>(c) - 0.5f * static_cast<float>(r);
  z[5 * nx + 7] = std::numeric_limits<float>::quiet_NaN();
  return Surface::dsm(12.5, -40.0, 30.0, 2.0, nx, ny, std::move(z));
}

TEST(TerrainFiles, ArchiveAndRasterReadBackInNumpyAndGdal) {
  TSL_REQUIRE_PYTHON("numpy osgeo.gdal");
  test::TempDir dir;
  const Surface s = test_surface();
  // Node (0, 0) lands on UTM (500000, 5400000): the raster's outer corner is half a cell
  // west and north of it, (499999, 5400001).
  auto r = write_terrain_files(dir / "o_surface.npz", dir / "o_dsm.tif", s, 500040.0, 5399970.0, 32633);
  ASSERT_TRUE(r.has_value()) << r.error();
  const std::string script = format(
      "import numpy as np\n"
      "from osgeo import gdal\n"
      "a = np.load('{}')\n"
      "assert list(a.keys()) == ['z0', 'E0', 'N0', 'cell', 'Z'], list(a.keys())\n"
      "for k in ['z0', 'E0', 'N0', 'cell']:\n"
      "    assert a[k].dtype == np.float64 and a[k].shape == (), (k, a[k].dtype, a[k].shape)\n"
      "assert (float(a['z0']), float(a['E0']), float(a['N0']), float(a['cell'])) == (12.5, 500000.0, 5400000.0, 2.0)\n"
      "Z = a['Z']\n"
      "assert Z.dtype == np.float32 and Z.shape == (37, 100), (Z.dtype, Z.shape)\n"
      "r, c = np.mgrid[0:37, 0:100]\n"
      "want = (10.0 + 0.25 * c - 0.5 * r).astype(np.float32)\n"
      "want[5, 7] = np.nan\n"
      "assert np.array_equal(Z, want, equal_nan=True)\n"
      "d = gdal.Open('{}')\n"
      "assert d.GetGeoTransform() == (499999.0, 2.0, 0.0, 5400001.0, 0.0, -2.0), d.GetGeoTransform()\n"
      "assert 'AUTHORITY[\"EPSG\",\"32633\"]]' in d.GetProjection(), d.GetProjection()\n"
      "b = d.GetRasterBand(1)\n"
      "assert b.DataType == gdal.GDT_Float32\n"
      "assert b.GetBlockSize() == [100, 16], b.GetBlockSize()\n"
      "assert np.array_equal(b.ReadAsArray(), Z, equal_nan=True)\n",
      (dir / "o_surface.npz").string(), (dir / "o_dsm.tif").string());
  test::write_file_text(dir / "check.py", script);
  const auto out = test::run_command(test::python3() + " " + test::shell_quote((dir / "check.py").string()));
  EXPECT_EQ(out.exit_code, 0) << out.out << out.err;
}

TEST(TerrainFiles, UnwritableFolderGivesTheSystemText) {
  test::TempDir dir;
  auto r = write_terrain_files(dir / "no" / "s.npz", dir / "no" / "d.tif", test_surface(), 0, 0, 32633);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "No such file or directory (os error 2)");
}

SeamMap test_seams(size_t photos) {
  SeamMap m;
  m.nx = 4;
  m.ny = 3;
  m.labels = {0, 0, 1, -1, 0, 1, 1, -1, -1, -1, 1, 1};
  for (size_t i = 0; i < photos; ++i) m.names.push_back(format("DJI_{}.JPG", i));
  m.left_e = -12.5;
  m.top_n = 40.0;
  m.cell = 0.094;
  return m;
}

TEST(SeamFile, ReadsBackInNumpy) {
  TSL_REQUIRE_PYTHON("numpy");
  test::TempDir dir;
  SeamMap m = test_seams(2);
  m.names[1] = "Ünïcode_02.JPG";
  ASSERT_TRUE(write_seam_file(dir / "o_seams.npz", m, 500000.0, 5400000.0).has_value());
  const std::string script = format(
      "import numpy as np\n"
      "a = np.load('{}')\n"
      "assert list(a.keys()) == ['label', 'E0', 'N0', 'gs', 'files'], list(a.keys())\n"
      "L = a['label']\n"
      "assert L.dtype == np.int16 and L.shape == (3, 4), (L.dtype, L.shape)\n"
      "assert L.tolist() == [[0, 0, 1, -1], [0, 1, 1, -1], [-1, -1, 1, 1]], L.tolist()\n"
      "for k, v in [('E0', 499987.5), ('N0', 5400040.0), ('gs', 0.094)]:\n"
      "    assert a[k].dtype == np.float64 and a[k].shape == () and float(a[k]) == v, (k, a[k])\n"
      "f = a['files']\n"
      "assert f.dtype.kind == 'U' and f.shape == (2,), (f.dtype, f.shape)\n"
      "assert f.tolist() == ['DJI_0.JPG', '\\u00dcn\\u00efcode_02.JPG'], f.tolist()\n",
      (dir / "o_seams.npz").string());
  test::write_file_text(dir / "check.py", script);
  const auto out = test::run_command(test::python3() + " " + test::shell_quote((dir / "check.py").string()));
  EXPECT_EQ(out.exit_code, 0) << out.out << out.err;
}

TEST(SeamFile, MorePhotosThanSixteenBitLabelsHoldFailsBeforeWriting) {
  test::TempDir dir;
  // 32767 photos fit (indices 0..32766 and -1); one more would need a label that a 16-bit
  // store wraps.
  ASSERT_TRUE(write_seam_file(dir / "ok.npz", test_seams(32767), 0, 0).has_value());
  auto r = write_seam_file(dir / "big.npz", test_seams(32768), 0, 0);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "32768 photos are too many for a seam file (at most 32767)");
  EXPECT_FALSE(std::filesystem::exists(dir / "big.npz"));
}

}  // namespace
}  // namespace tsl
