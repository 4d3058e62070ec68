// Names the inspector's members look up or write on every call, interned once.
#pragma once

#include "interop/interop.hpp"

namespace qorva::inspector::names {

using interop::Name;

// Module globals and their members.
inline const Name kNp("np");
inline const Name kRunner("runner");
inline const Name kGetBundle("get_bundle");
inline const Name kScoreImage("score_image");
inline const Name kScoreGoodImages("score_good_images");
inline const Name kNorimError("NorimError");
inline const Name kPurgeTrainCache("purge_train_cache");
inline const Name kValidateImage("validate_image");
inline const Name kInspectionResult("InspectionResult");
inline const Name kModelState("ModelState");
inline const Name kVerdict("Verdict");
inline const Name kAmapRender("amap_render");
inline const Name kRenderOverlay("render_overlay");
inline const Name kLogger("logger");
inline const Name kDefaults("_DEFAULTS");

// Attributes, methods and builtins.
inline const Name kName("name");
inline const Name kCfg("_cfg");
inline const Name kBundleName("_bundle_name");
inline const Name kParams("params");
inline const Name kThreshold("threshold");
inline const Name kItems("items");
inline const Name kGet("get");
inline const Name kError("error");
inline const Name kOK("OK");
inline const Name kNG("NG");
inline const Name kSize("size");
inline const Name kMax("max");
inline const Name kMean("mean");
inline const Name kStd("std");
inline const Name kAll("all");
inline const Name kAsType("astype");
inline const Name kAsArray("asarray");
inline const Name kIsFinite("isfinite");
inline const Name kFloat32("float32");
inline const Name kFloat64("float64");
inline const Name kRound("round");
inline const Name kDict("dict");

// Keyword arguments, configuration keys, state parameters and result fields.
inline const Name kWeights("weights");
inline const Name kSigma("sigma");
inline const Name kDevice("device");
inline const Name kProductId("product_id");
inline const Name kModule("module");
inline const Name kWithMap("with_map");
inline const Name kKey("key");
inline const Name kDtype("dtype");
inline const Name kNGood("n_good");
inline const Name kGoodScoreMean("good_score_mean");
inline const Name kGoodScoreMax("good_score_max");
inline const Name kGoodScores("good_scores");
inline const Name kThresholdSource("threshold_source");
inline const Name kExpectedFpRate("expected_fp_rate");
inline const Name kExpectedFpCount("expected_fp_count");
inline const Name kSigmaForZeroFp("sigma_for_zero_fp");
inline const Name kVerdictField("verdict");
inline const Name kScore("score");
inline const Name kDetails("details");
inline const Name kOverlay("overlay");
inline const Name kRatioOverThreshold("ratio_over_threshold");
inline const Name kBackbone("backbone");
inline const Name kBranch("branch");
inline const Name kDominantBranch("dominant_branch");
inline const Name kDominantLabel("dominant_label");
inline const Name kLocalizable("localizable");

// Text constants of the results (the operator-facing ones are in texts.hpp).
inline const Name kStructural("structural");
inline const Name kMahalanobis("mahalanobis");
inline const Name kLogical("logical");
inline const Name kThresholdSourceText("good_mean+sigma*std");
inline const Name kUnknown("unknown");

}  // namespace qorva::inspector::names
