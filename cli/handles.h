// Owning handles for the library's records: each releases its record through the
// library's own release function when it goes out of scope.
#pragma once

#include <quelta.h>

#include <memory>

namespace cli {

template <typename T, void (*Release)(T*)>
struct Releaser {
  void operator()(T* p) const { Release(p); }
};
using ScannerPtr = std::unique_ptr<Scanner, Releaser<Scanner, quelta_close>>;
using BatchPtr = std::unique_ptr<Batch, Releaser<Batch, quelta_batch_free>>;
using TopkPtr = std::unique_ptr<TopkContext, Releaser<TopkContext, quelta_topk_close>>;
using OrderByPtr = std::unique_ptr<OrderByContext, Releaser<OrderByContext, quelta_order_by_close>>;
using CollectPtr = std::unique_ptr<CollectContext, Releaser<CollectContext, quelta_collect_close>>;
using ColumnarPtr =
    std::unique_ptr<ColumnarCollectContext, Releaser<ColumnarCollectContext, quelta_collect_columnar_close>>;
using ReportPtr = std::unique_ptr<ValidationReport, Releaser<ValidationReport, quelta_validate_free>>;
using ValidatorPtr = std::unique_ptr<Validator, Releaser<Validator, quelta_validator_close>>;
using OutcomePtr = std::unique_ptr<char, Releaser<char, quelta_outcome_free>>;
using ProfileTextPtr = std::unique_ptr<char, Releaser<char, quelta_profile_free>>;

}  // namespace cli
