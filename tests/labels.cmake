# The labels of the tests, one kind each, so that a part can be run alone:
#   unit    quick checks of our own code: `ctest -L unit` runs in seconds
#   oracle  compared against an outside tool or python module (cjpeg, GDAL, numpy, OpenCV, ...);
#           every python test is one
#   slow    takes more than about five seconds on a developer machine, or does its real work
#           only with TSL_SLOW_TESTS set; a slow oracle test carries both labels
#   fuzz    the libFuzzer runs of fuzz/
# A unit test is named here as "Suite" (all of its tests) or "Suite.Test" (for a
# parameterized test, without its instance and parameter parts); a python test by its ctest
# name, or by that of its file for all of its cases. A test named nowhere is a unit test. Read by CMakeLists.txt and, for the discovered
# unit tests, by ctest itself.

set(TSL_LABEL_ORACLE
  Binary16.RoundsLikeNumpyFloat16 BorrowTest BrightonMatching CameraModel.BrownModelMatchesOpenCv
  CameraModel.DngWarpMatchesTheWarpRectilinearFormula CandidatesTest.NumberedShotIsNoCandidate
  Checksums Cholesky.FactorAndSolveMatchNumpyOnRandomSpdMatrices CollectImages Conformance
  ConformanceTruncated ConvexHull.MatchesShapelyOnRandomPointSets DamagedInputs DecodeEdges
  DecodeJpeg.StreamedDecodesEqualThePlainOrderOfSteps DecodePartial
  DecodeRealData.DronePhotoMatchesDjpegAtFullSize DecodeRealData.FlowerEncodingsDecodeLikeDjpeg
  DecodeRealData.GoSetMatchesItsPngReferences DecodeRealData.ImageRsReferencesAndRefusals
  DensePair.TexturelessOverlapGivesNothing DiagFrameJpeg.RealPhotoRoundTrip
  DiagFrameXmp.PacketIsWellFormedXml
  DiagnosticsZip.ArchiveOfAReportWithoutShotsHoldsTheFixedMembers DngRawFixtures
  DsmTiff.GdalReadsHeightsAndGeoreference EncodeJpeg.QuantTablesEqualCjpegs
  EncodePng.PassesPngcheckAndRoundTripsThroughPil EncodeRoundTrip Entry.StudioRoad
  FeatureRecord.LensTextOfTheKey FeatureStage Filters FlightRender
  Footprint.ObliqueBrownCameraMatchesOpenCvRays
  Footprint.OverlapOfNeighbouringFootprintsMatchesShapely GeneratedPair
  GeoTiffBandSink.TilesAndPreviewRowsReadBackInGdal GeoTiffWriter.GdalReadsWhatWasWritten
  GeoTiffWriter.LargeSparseRasterIsABigTiffThatGdalOpens
  InterruptedBuild.RefusedOutputsAndSizesThatDoNotFit
  IntersectionArea.MatchesShapelyOnRandomPolygons
  JacobiEigen.MatchesNumpyEighOnRandomSymmetricMatrices
  JpegVectorPath.DecodesTheSamePixelsAsThePlainPath JsonPythonOracle
  LabelComponents.AgreesWithOpenCv LjpegDecode.RealStreamsMatchTheirReferences LoadSurface
  LowerUnicode.MatchesPythonForEveryCodePoint MorphMask.AgreesWithOpenCv Npz.RoundTrip
  NullVector9.ReturnsTheEigenvectorOfTheSmallestEigenvalue NumpyOracle PhotoFixtures
  PrepareFeatureImage.AgreesWithNumpyGammaAndOpenCvClahe RcmOrder.GridBandwidthMatchesScipy
  ReadZipMembers.ReadsPythonArchives ResidualModel.AgreesWithNumpyAndScipyLeastSquares
  Resize.AgreesWithOpenCv RobustStatistics SampleU16.AgreesWithOpenCvRemap SeamAnalysisFlight
  SeamFile.ReadsBackInNumpy Sha1.EqualsSha1sumAroundBlockBoundaries SiftOracle
  SmallFlight.GeoTiffOpensInGdal SmallFlight.PreviewsDecodeInDjpegAndPngcheck
  SmallFlight.ReportKeysInOrderForPython SmoothGrid.AgreesWithScipyReflect
  SolveGains.MatchesStackedLeastSquares StageTest
  Surface.GridsUnderTwoByTwoOrWithTheWrongCountAreInternalErrors
  Surface.HeightMatchesScipyRegularGridInterpolator
  TerrainFiles.ArchiveAndRasterReadBackInNumpyAndGdal
  TestCommands.LoadOfAJpegEqualsDjpegThroughTheSrgbTable TieFiles.DumpIsCompactJson TiffOracle
  TiffRealFiles.PixelsEqualTifffileAndLibtiff TwoView.RecoversPlantedModelsAtLeastAsCleanlyAsOpenCv
  UtmForward WriteExifIfd.ExiftoolReadsTheBlock ZipWriter.ArchiveBeyondFourGigabytes
  ZipWriter.ArchivesPassUnzipAndPython ZipWriter.MemberCountsAtTheZip64Limit
  ZipWriter.ReportsTheSystemsErrors ZlibOracle)

set(TSL_LABEL_SLOW
  Binary16.RoundsLikeNumpyFloat16 BrightonMatching CameraModel.BrownModelMatchesOpenCv
  Conformance.MatchesDjpegAtEveryScale DecodeEdges.MatchesDjpegUpToTheLastRowAndColumn
  DecodeRealData.FlowerEncodingsDecodeLikeDjpeg Deflate.InputBeyondTheHashRebaseRoundTrips
  DiskCacheEviction.StoreAfterThirtySecondsRunsTheNextPass DsmTiff.GdalReadsHeightsAndGeoreference
  EncodeRoundTrip.DecodesInDjpegPilAndOurs Entry.StudioRoad
  FeatureStage.DamagedRecordIsExtractedAgain FeatureStage.OneWorkerAndManyGiveTheSameFeatures
  FeatureStage.RecordDecodedWithNumpy Filters.AgreeWithScipyAndOpenCv FlightRender
  Footprint.ObliqueBrownCameraMatchesOpenCvRays GeneratedPair
  GeoTiffBandSink.TilesAndPreviewRowsReadBackInGdal GeoTiffWriter.GdalReadsWhatWasWritten
  GeoTiffWriter.LargeSparseRasterIsABigTiffThatGdalOpens
  JacobiEigen.MatchesNumpyEighOnRandomSymmetricMatrices LabelComponents.AgreesWithOpenCv
  LjpegDecode.RealStreamsMatchTheirReferences MorphMask.AgreesWithOpenCv
  PrepareFeatureImage.AgreesWithNumpyGammaAndOpenCvClahe
  ResidualModel.AgreesWithNumpyAndScipyLeastSquares Resize.AgreesWithOpenCv
  SampleU16.AgreesWithOpenCvRemap SeamAnalysisFlight.KnownShiftIsMeasured SiftOracle
  SmallFlight.DefaultBuildRunsTheDenseStage
  SmallFlight.FullRoadWithoutDenseStageRendersRefinedPoses SmallFlight.GeoTiffOpensInGdal
  SmallFlight.PlaneSurfaceKeepsThePlaneAfterAdjustment
  SmallFlight.ReuseOfTheReportGivesAByteIdenticalGeoTiff SmoothGrid.AgreesWithScipyReflect
  Surface.HeightMatchesScipyRegularGridInterpolator
  TerrainFiles.ArchiveAndRasterReadBackInNumpyAndGdal TiffOracle
  TiffRealFiles.PixelsEqualTifffileAndLibtiff TwoView.RecoversPlantedModelsAtLeastAsCleanlyAsOpenCv
  ZipWriter.ArchiveBeyondFourGigabytes ZipWriter.ArchivesPassUnzipAndPython
  ZipWriter.MemberCountsAtTheZip64Limit ZlibOracle.ZlibStreamsInflateExactly)

# Python tests taking more than about five seconds (builds, browsers, generated flights) or
# doing their real work only with TSL_SLOW_TESTS set.
set(TSL_LABEL_SLOW_PY
  py.adjust.lens_recovery_test py.adjust.peer_lens_test py.diag.diagnostics_test py.flow.flow_oracle_test
  py.img.dng.develop_oracle_test
  py.server.dialogs_test.RealDialog.test_pick_dialog_opens_under_a_virtual_display
  py.server.job_flow_test py.server.result_test py.server.scan_test py.surface.terrain_accuracy_test py.surface.terrain_grid_bound_test py.tools.evaluate_test
  py.tools.flightsim_test py.tools.geometry_test py.tools.sample_flight_test.SampleFlightTest.test_generator_remakes_the_sample_exactly
  py.tools.sample_flight_test.SampleFlightTest.test_sample_truth_measures_itself_without_error
  py.server.hardening_test py.web.guard_and_load_test py.web.page_shell_test py.web.page_views_test
  py.web.settings_form_test py.web.usability_test)

foreach(t IN LISTS TSL_LABEL_ORACLE)
  set("tsl_oracle_${t}" 1)
endforeach()
foreach(t IN LISTS TSL_LABEL_SLOW TSL_LABEL_SLOW_PY)
  set("tsl_slow_${t}" 1)
endforeach()

# The labels of the test `name` into `out`.
function(tsl_test_labels name out)
  if(name MATCHES "^py[.]")
    # py.FOLDER.FILE_test.Class.method: the file stands for all of its cases
    set(key "${name}")
    string(REGEX REPLACE "^(py[.].*_test)([.].*)?$" "\\1" suite "${name}")
    set(labels oracle)
  else()
    # Corpus/Suite.Test/param  # GetParam() = ... -> Suite.Test
    string(REGEX REPLACE "^[A-Za-z0-9_]+/" "" key "${name}")
    string(REGEX REPLACE "^([A-Za-z0-9_]+[.][A-Za-z0-9_]+).*$" "\\1" key "${key}")
    string(REGEX REPLACE "[.].*$" "" suite "${key}")
    if(DEFINED "tsl_oracle_${key}" OR DEFINED "tsl_oracle_${suite}")
      set(labels oracle)
    else()
      set(labels unit)
    endif()
  endif()
  if(DEFINED "tsl_slow_${key}" OR DEFINED "tsl_slow_${suite}")
    list(REMOVE_ITEM labels unit)
    list(APPEND labels slow)
  endif()
  set(${out} "${labels}" PARENT_SCOPE)
endfunction()

# Labels every test of the list variable `tests_var` (the discovered unit tests).
function(tsl_label_tests tests_var)
  foreach(t IN LISTS ${tests_var})
    tsl_test_labels("${t}" labels)
    set_tests_properties("${t}" PROPERTIES LABELS "${labels}")
  endforeach()
endfunction()
