"""GeoTIFF files of the truth (through GDAL) and reading of any north-up GeoTIFF."""
import os

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()


def _srs(epsg):
    s = osr.SpatialReference()
    s.ImportFromEPSG(int(epsg))
    return s.ExportToWkt()


def write_rgb(path, rgb, east0, north1, gsd, epsg, jpeg_quality=0):
    """8-bit RGB, pixel-is-area, (east0, north1) the outer top-left corner. Deflate unless
    jpeg_quality is given."""
    h, w, _ = rgb.shape
    opts = ["TILED=YES", "BLOCKXSIZE=512", "BLOCKYSIZE=512"]
    if jpeg_quality:
        opts += ["COMPRESS=JPEG", "JPEG_QUALITY=%d" % jpeg_quality, "PHOTOMETRIC=YCBCR"]
    else:
        opts += ["COMPRESS=DEFLATE", "PREDICTOR=2", "ZLEVEL=9"]
    ds = gdal.GetDriverByName("GTiff").Create(path, w, h, 3, gdal.GDT_Byte, options=opts)
    ds.SetGeoTransform((east0, gsd, 0.0, north1, 0.0, -gsd))
    ds.SetProjection(_srs(epsg))
    for c in range(3):
        ds.GetRasterBand(c + 1).WriteArray(rgb[:, :, c])
    ds.FlushCache()
    ds = None


def write_float(path, values, east0, north1, gsd, epsg):
    h, w = values.shape
    opts = ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE", "PREDICTOR=3", "ZLEVEL=9"]
    ds = gdal.GetDriverByName("GTiff").Create(path, w, h, 1, gdal.GDT_Float32, options=opts)
    ds.SetGeoTransform((east0, gsd, 0.0, north1, 0.0, -gsd))
    ds.SetProjection(_srs(epsg))
    ds.GetRasterBand(1).WriteArray(values.astype(np.float32))
    ds.FlushCache()
    ds = None


class Raster:
    """A north-up raster read whole: bands (h, w, n), geotransform, EPSG code or None."""

    def __init__(self, path, bands, transform, epsg, wkt, alpha):
        self.path, self.bands, self.transform, self.epsg, self.wkt = path, bands, transform, epsg, wkt
        self.alpha = alpha  # index of the alpha band, or None

    @property
    def gsd(self):
        return self.transform[1]


def read(path, what):
    """Reads `path` or raises ValueError with a message that says what is wrong."""
    if not os.path.exists(path):
        raise ValueError("%s %s does not exist" % (what, path))
    if os.path.isdir(path):
        raise ValueError("%s %s is a folder, not a GeoTIFF" % (what, path))
    try:
        ds = gdal.Open(path)
    except RuntimeError as e:
        raise ValueError("%s %s cannot be read: %s" % (what, path, str(e).strip()))
    if ds is None or ds.RasterCount == 0:
        raise ValueError("%s %s holds no raster" % (what, path))
    gt = ds.GetGeoTransform(can_return_null=True)
    if gt is None:
        raise ValueError("%s %s has no georeference" % (what, path))
    if gt[2] != 0 or gt[4] != 0 or gt[1] <= 0 or gt[5] >= 0:
        raise ValueError("%s %s is not a north-up raster" % (what, path))
    if abs(abs(gt[5]) - gt[1]) > 1e-9 * gt[1]:
        raise ValueError("%s %s has non-square pixels" % (what, path))
    wkt = ds.GetProjection()
    epsg = None
    if wkt:
        s = osr.SpatialReference(wkt=wkt)
        s.AutoIdentifyEPSG()
        code = s.GetAuthorityCode(None)
        epsg = int(code) if code else None
    alpha = None
    for i in range(ds.RasterCount):
        if ds.GetRasterBand(i + 1).GetColorInterpretation() == gdal.GCI_AlphaBand:
            alpha = i
    try:
        arr = ds.ReadAsArray()
    except RuntimeError as e:
        raise ValueError("%s %s cannot be decoded: %s" % (what, path, str(e).strip()))
    if arr is None:
        raise ValueError("%s %s cannot be decoded" % (what, path))
    if arr.ndim == 2:
        arr = arr[None]
    return Raster(path, np.moveaxis(arr, 0, -1), gt, epsg, wkt, alpha)
