// The settings form's table: the drawers and their controls, one control per option key, the
// appearance drawer, the presets, and the keys the page treats specially. Labels and texts are
// shown as they stand.
import {isNum} from './util.js';

export const THEME_DEF = {accent: '#ffa257', tint: '#ff8a3d', tintA: 35, glass: 35, glow: 100};
export const SWATCHES = ['#ffa257', '#ffffff', '#8fd3ff', '#7cf2c8', '#c3a6ff', '#ff7aa8', '#ffd966'];
export const LIVE_FINISH = ['ev', 'wb', 'saturation', 'contrast'];
export const LIVE_KEYS = ['feather', 'interp', 'surface', 'no_gains', 'grid_step', 'blend', 'blend_bands'];
export const NOT_COUNTED = ['input', 'output', 'meta_from'];
export const RESET_ON_PRESET = ['surface', 'no_refine', 'gsd', 'interp', 'preview_px', 'feather', 'match_px', 'neighbors',
  'max_ties', 'min_inliers', 'ba_iters', 'ba_rounds', 'selfcal', 'bits', 'grid_step', 'processed', 'features',
  'dense', 'dense_ties', 'blend', 'blend_bands', 'seams'];
export const PATH_PH = 'D:\\flights\\mission_0412';

export const SECTIONS = [
  {id: 'src', no: '01', title: 'Source', icon: '▤', items: [
    {k: 'input', w: 'paths', label: 'Image folders / files', add: ['dir', 'files'], scan: true},
    {k: 'meta_from', w: 'paths', label: 'Originals for metadata', add: ['dir'],
     help: 'Folder with the untouched drone files. GPS, gimbal and exposure are copied from them when processed files (DxO…) lost it.'},
    {k: 'output', w: 'save', label: 'Output GeoTIFF', ph: 'ortho.tif'},
    {k: 'prefer', w: 'seg', label: 'JPG + DNG pairs', opts: [['dng', 'Use DNG'], ['jpg', 'Use JPG']]},
    {k: 'processed', w: 'seg', label: 'Pre-corrected images', opts: [['auto', 'Detect'], ['yes', 'Yes (DxO…)'], ['no', 'No']]},
    {k: 'use_originals', w: 'tog', label: 'Also render originals next to processed files'},
  ]},
  {id: 'opt', no: '02', title: 'Optics & geometry', icon: '◎', items: [
    {k: 'no_lens', w: 'tog', inv: true, label: 'Lens distortion from metadata',
     help: 'DNG WarpRectilinear / DJI DewarpData. Off for DxO output.'},
    {k: 'no_vignette', w: 'tog', inv: true, label: 'Vignetting from metadata',
     help: 'DNG GainMap / FixVignetteRadial data. The drone camera darkens its corners by up to a factor of 2.6.'},
    {k: 'selfcal', w: 'seg', label: 'Lens self-calibration', opts: [['auto', 'Auto'], ['on', 'On'], ['off', 'Off']],
     help: 'Estimates residual lens errors from the tie points.'},
    {k: 'selfcal_model', w: 'seg', label: 'Self-calibration model', opts: [['full', 'Full'], ['radial', 'Radial only']],
     help: 'Full: radial k1 k2 + principal point + tangential, per camera (best for DxO output, whose correction differs from DJI\'s). Radial: k1 k2 only.'},
    {k: 'focal_px', w: 'num', label: 'Focal length override', unit: 'px', ph: 'from EXIF'},
    {k: 'max_tilt', w: 'range', label: 'Max tilt from nadir', min: 0, max: 45, step: 1, unit: '°'},
    {k: 'ground_amsl', w: 'num', label: 'Ground height AMSL (only if no rel. alt.)', unit: 'm', ph: 'not needed'},
    {k: 'all_cameras', w: 'tog', label: 'Mix camera models'},
  ]},
  {id: 'aln', no: '03', title: 'Alignment', icon: '✣', items: [
    {k: 'no_refine', w: 'tog', inv: true, label: 'Feature alignment + bundle adjustment'},
    {k: 'matcher', w: 'seg', label: 'Matcher', opts: [['auto', 'Auto'], ['lightglue', 'LightGlue · GPU'], ['sift', 'SIFT · CPU']]},
    {k: 'match_px', w: 'range', label: 'Matching resolution', min: 800, max: 5280, step: 80, unit: 'px',
     help: 'Long side used for feature detection. 2000 is the sweet spot - the dense optical-flow stage does the fine alignment. Above ~3000 px: much slower, little gain. The GPU matcher (DISK) is capped by VRAM (2400 px on a 6 GB card).'},
    {k: 'features', w: 'range', label: 'Keypoints per image', min: 1000, max: 12000, step: 500,
     help: '4000 is plenty for 70–80 % overlap; matching time grows with it. The overlap pre-filter only compares keypoints inside the GPS-predicted overlap.'},
    {k: 'neighbors', w: 'range', label: 'Neighbours per image', min: 3, max: 24, step: 1},
    {k: 'max_ties', w: 'range', label: 'Tie points per pair', min: 30, max: 600, step: 10},
    {k: 'min_inliers', w: 'range', label: 'Min. inliers per pair', min: 8, max: 120, step: 1},
    {k: 'dense', w: 'seg', label: 'Dense optical-flow ties', opts: [['on', 'On'], ['off', 'Off']],
     help: 'After the first adjustment, optical flow over every overlap adds evenly spread tie points (incl. frame edges and side overlap) → 2nd adjustment + much finer terrain model.'},
    {k: 'dense_ties', w: 'range', label: 'Dense ties per pair (adjustment)', min: 20, max: 300, step: 10},
    {k: 'sigma_gps', w: 'range', label: 'GPS σ', min: 0.2, max: 10, step: 0.1, unit: 'm',
     help: 'Lower = trust GNSS more (RTK: 0.05–0.2).'},
    {k: 'sigma_alt', w: 'range', label: 'Altitude σ', min: 0.2, max: 10, step: 0.1, unit: 'm'},
    {k: 'sigma_ang', w: 'range', label: 'Yaw σ — rotation about image centre', min: 0.2, max: 10, step: 0.1, unit: '°'},
    {k: 'sigma_tilt', w: 'range', label: 'Tilt σ — deviation from −90° nadir', min: 0, max: 5, step: 0.05, unit: '°',
     help: '0 locks the nadir (only position and yaw are adjusted). The default 0.5° fits drone frames, which sit within about 1° of nadir.'},
    {k: 'sigma_ground', w: 'range', label: 'Ground-plane prior σ', min: 1, max: 100, step: 1, unit: 'm'},
    {k: 'surface', w: 'seg', label: 'Ground model', opts: [['dsm', 'Terrain (DSM)'], ['plane', 'Flat plane']],
     help: 'Terrain: every tie point gets its own height → elevation model → true ortho. Removes smearing on slopes, rock shelves, terraces.'},
    {k: 'dsm_cell', w: 'num', label: 'DSM grid spacing', unit: 'm', ph: 'auto', step: 0.05},
    {k: 'sigma_relief', w: 'range', label: 'Relief prior σ', min: 1, max: 100, step: 1, unit: 'm'},
    {k: 'ba_iters', w: 'range', label: 'Adjustment iterations', min: 10, max: 300, step: 5},
    {k: 'ba_rounds', w: 'range', label: 'Outlier-rejection rounds', min: 1, max: 6, step: 1},
  ]},
  {id: 'col', no: '04', title: 'Colour & finish', icon: '◐', items: [
    {k: 'no_gains', w: 'tog', inv: true, label: 'Exposure + colour balancing between images'},
    {k: 'ev', w: 'range', label: 'Exposure', min: -3, max: 3, step: 0.05, unit: ' EV'},
    {k: 'wb', w: 'wb', label: 'White balance (linear R · G · B)'},
    {k: 'saturation', w: 'range', label: 'Saturation', min: 0, max: 2, step: 0.01, unit: '×'},
    {k: 'contrast', w: 'range', label: 'Contrast', min: -1, max: 1, step: 0.01},
    {k: 'bits', w: 'seg', label: 'Bit depth', opts: [[null, 'Auto'], [8, '8-bit'], [16, '16-bit']]},
  ]},
  {id: 'out', no: '05', title: 'Blend & output', icon: '▦', items: [
    {k: 'gsd', w: 'num', label: 'Ground sampling distance', unit: 'cm/px', ph: 'native', step: 0.1},
    {k: 'blend', w: 'seg', label: 'Blending', opts: [['multiband', 'Seam lines + multi-band'], ['feather', 'Feather']],
     help: 'Seam lines: every area comes from one image, seams routed where neighbours agree; detail switches sharply, tone blends wide → no ghosting. Feather: nadir-weighted cross-fade.'},
    {k: 'seams', w: 'seg', label: 'Seam placement', opts: [['cut', 'Optimised'], ['nadir', 'Nadir only']],
     help: 'Optimised: seams avoid cars, people, walls, boats — anything that differs between neighbouring images.'},
    {k: 'seam_band', w: 'range', label: 'Seam freedom (× footprint)', min: 0.02, max: 0.3, step: 0.01,
     help: 'How far a seam may leave the nadir line to find a clean path.'},
    {k: 'blend_bands', w: 'range', label: 'Blend bands', min: 2, max: 6, step: 1,
     help: 'Each band blends 4× wider: more bands = smoother tone transitions.'},
    {k: 'feather', w: 'range', label: 'Feather: nadir preference', min: 1, max: 40, step: 0.5,
     help: 'Feather mode only. High = narrow blend band (less relief ghosting). Low = soft wide blends.'},
    {k: 'interp', w: 'seg', label: 'Resampling', opts: [['cubic', 'Bicubic'], ['linear', 'Bilinear']]},
    {k: 'bounds', w: 'aoi', label: 'Area of interest'},
    {k: 'max_mpix', w: 'range', label: 'Size cap', min: 50, max: 10000, step: 50, unit: ' MP'},
    {k: 'preview_px', w: 'seg', label: 'Preview size', opts: [[2048, '2K'], [4096, '4K'], [8192, '8K']]},
  ]},
  {id: 'perf', no: '06', title: 'Performance', icon: '⚙', items: [
    {k: 'gpu', w: 'seg', label: 'Render backend', opts: [['auto', 'Auto'], ['cuda', 'CUDA'], ['cpu', 'CPU']]},
    {k: 'workers', w: 'range', label: 'CPU threads', min: 1, max: 32, step: 1},
    {k: 'cache_gb', w: 'range', label: 'Image cache (RAM)', min: 1, max: 48, step: 1, unit: ' GB'},
    {k: 'disk_cache_gb', w: 'range', label: 'Disk cache (features, DNG decodes)', min: 0, max: 200, step: 5, unit: ' GB',
     help: 'Shared by all projects: re-runs skip feature extraction and DNG decoding. 0 = off.'},
    {k: 'seam_mpix', w: 'range', label: 'Seam grid size', min: 2, max: 64, step: 1, unit: ' MP'},
    {k: 'block_rows', w: 'seg', label: 'Render block height', opts: [[512, '512'], [1024, '1024'], [2048, '2048']]},
    {k: 'grid_step', w: 'seg', label: 'Projection grid', opts: [[8, '8 px'], [16, '16 px'], [32, '32 px']]},
  ]},
];
export const LOOK = {id: 'look', no: '07', title: 'Appearance', icon: '✦'};
export const DRAWER_IDS = SECTIONS.map(s => s.id).concat(LOOK.id);

// A preset's values are made from the scanned GSD in cm (null without a scan).
export const PRESETS = [
  {name: 'quick', label: 'Quick look', tip: 'Metadata-only placement at 4× GSD — seconds',
   // 4 times the scanned GSD in cm with one decimal; 8 without a scan.
   vals: gsdCm => ({no_refine: true, gsd: isNum(gsdCm) ? Math.round(gsdCm * 40) / 10 : 8, interp: 'linear',
     preview_px: 2048, feather: 8, dense: 'off', seams: 'nadir'})},
  {name: 'balanced', label: 'Balanced', tip: 'Default pipeline', vals: () => ({})},
  {name: 'max', label: 'Max quality', tip: 'Denser matching, more tie points, longer adjustment, 16-bit',
   vals: () => ({match_px: 3200, neighbors: 14, max_ties: 150, min_inliers: 30, ba_iters: 140, ba_rounds: 4,
     selfcal: 'on', interp: 'cubic', feather: 28, bits: 16, preview_px: 8192, grid_step: 8, surface: 'dsm',
     features: 8000, dense: 'on', dense_ties: 160, blend: 'multiband', blend_bands: 5})},
  {name: 'dxo', label: 'DxO', tip: 'DxO PureRAW / pre-corrected images', vals: () => ({processed: 'yes', selfcal: 'on'})},
];

// The page's own settings beside the server's schema, with their defaults.
export const PAGE_DEFAULTS = {input: [], meta_from: [], exclude: [], bounds: null, output: 'ortho.tif'};
