// The inspector's operator-facing texts: docstrings, error messages, result labels and its log line.
//
// Worded as they are because people and programs outside this module read them: the host shows the
// docstrings, labels and messages to the operators on the line, most of whom read Korean, so those are
// Korean (the teach errors say what to do next: "run the NORIM training and create the bundle under
// norim/<name>/ first"; "abnormal good-sample scores: bundle or statistics damaged, or preprocessing
// mismatched"); results stored by the host keep the labels and the backbone line as written; and the
// tests pin each text word for word. Change one only together with its readers.
#pragma once

#include "interop/interop.hpp"

namespace qorva::inspector::texts {

inline constexpr const char *kClassDoc = "NORIM 구조+논리 이상 탐지 (추론 전용, AMP 100%; 학습은 오프라인 AMP 번들 사용).";
inline constexpr const char *kTeachDoc = "학습된 NORIM 번들 로드 + 양품 점수분포로 임계 보정(실학습 아님).";
inline constexpr const char *kPurgeDoc =
    "품종 삭제 시 _train/norim/ 의 재학습 캐시(수 GB)까지 정리. 번들은 품종 폴더 안이라 제외.";

inline constexpr const char *kNoSamples = "teach: good samples are required (20-50 recommended)";
// str.format: the runner's error text, the bundle name.
inline constexpr const char *kBundleMissing = "{}\n→ 티칭에서 NORIM 학습을 돌려 norim/{}/ 번들을 먼저 생성하세요.";
// str.format: how many scores are not finite, how many there are.
inline constexpr const char *kNonFiniteScores = "양품 점수에 비정상값(NaN/inf) {}/{} — 번들/통계 손상 또는 전처리 불일치.";
// logging: threshold, sigma as configured, n_bad, n_scores, percentage, sigma for none.
inline constexpr const char *kFalsePositives =
    "norim teach: threshold=%.4f (sigma=%s) — %d/%d of the good samples would be judged NG (%.0f%%). "
    "Raise sigma to %.2f for none.";
inline constexpr const char *kNotTaught = "product is not taught yet (run teach, or place a trained bundle)";

inline const interop::Name kStructuralLabel("구조(국소 결함)");
inline const interop::Name kMahalanobisLabel("마할라노비스(전역 특징분포)");
inline const interop::Name kLogicalLabel("논리(구성·개수, patch-hist)");
inline const interop::Name kBackboneLine("EfficientAD(구조) + global Maha(map-free) + CSAD patch-hist(논리), AMP");

}  // namespace qorva::inspector::texts
