#include "output_columns.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <new>
#include <type_traits>

namespace orbalt::kvt_recording::python {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

void* AllocateColumn(std::size_t bytes) {
  if (bytes < 2 * kHugePage) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  madvise(p, rounded, MADV_HUGEPAGE);  // advice only: without huge pages it works as before
  return p;
}

void FreeColumn(void* p, std::size_t) noexcept { std::free(p); }

FloatColumn::FloatColumn(std::size_t rows, std::size_t w, bool f32_values)
    : width(w), float32(f32_values) {
  if (float32) {
    f32.resize(rows * w);
  } else {
    f64.resize(rows * w);
  }
}

namespace {

template <class T>
void Put(T* dst, std::size_t width, std::size_t n, const double* src, std::size_t stride,
         std::size_t count) {
  if constexpr (std::is_same_v<T, double>) {
    if (count == width && stride == width) {
      std::copy_n(src, n * width, dst);
      return;
    }
  }
  for (std::size_t r = 0; r < n; ++r) {
    // The wire carries float32, widened exactly by the decoder: narrowing gives it back.
    for (std::size_t i = 0; i < count; ++i)
      dst[r * width + i] = static_cast<T>(src[r * stride + i]);
    std::fill(dst + r * width + count, dst + (r + 1) * width, static_cast<T>(kNaN));
  }
}

}  // namespace

void FloatColumn::put(std::size_t row, std::size_t n, const double* src, std::size_t stride,
                      std::size_t count) {
  finish(row);
  if (float32) {
    Put(f32.data() + row * width, width, n, src, stride, count);
  } else {
    Put(f64.data() + row * width, width, n, src, stride, count);
  }
  written = row + n;
}

void FloatColumn::finish(std::size_t rows) {
  if (rows <= written) return;
  if (float32) {
    std::fill(f32.begin() + written * width, f32.begin() + rows * width, static_cast<float>(kNaN));
  } else {
    std::fill(f64.begin() + written * width, f64.begin() + rows * width, kNaN);
  }
  written = rows;
}

void FloatColumn::widen(std::size_t rows, std::size_t wider) {
  FloatColumn out(rows, wider, float32);
  for (std::size_t r = 0; r < written; ++r) {
    if (float32) {
      std::copy_n(f32.data() + r * width, width, out.f32.data() + r * wider);
      std::fill(out.f32.data() + r * wider + width, out.f32.data() + (r + 1) * wider,
                static_cast<float>(kNaN));
    } else {
      std::copy_n(f64.data() + r * width, width, out.f64.data() + r * wider);
      std::fill(out.f64.data() + r * wider + width, out.f64.data() + (r + 1) * wider, kNaN);
    }
  }
  out.written = written;
  *this = std::move(out);
}

OutputColumns::OutputColumns(std::size_t rows, bool basic, const kvt::JointLayout& layout,
                             const Selection& selection)
    : table_(basic ? kvt::kRobotStatesFields : kvt::kRobotActionsFields),
      table_size_(basic ? std::size(kvt::kRobotStatesFields) : std::size(kvt::kRobotActionsFields)),
      rows_(rows),
      every_joint_(!selection.groups),
      layout_(layout),
      selection_(selection) {
  receive_time_ns.resize(rows);
  robot_time_ns.resize(rows);
  timestamp.resize(2 * rows);
  valid.resize(rows);
  if (every_joint_) return;
  for (const auto& [group, slice] : layout_) {
    if (!selection_.wants(group)) continue;
    for (std::size_t k = 0; k < table_size_; ++k) {
      if (table_[k].width != 0 || !selection_.wants(table_[k].name)) continue;
      group_fields.try_emplace({static_cast<int>(group), table_[k].name}, rows_,
                               static_cast<std::size_t>(slice.dof), selection_.float32);
    }
  }
}

void OutputColumns::add(const kvt::StreamColumns& c, std::size_t begin, std::size_t end) {
  const std::size_t n = end - begin, at = filled_;
  std::copy_n(c.receive_time_ns.begin() + begin, n, receive_time_ns.begin() + at);
  std::copy_n(c.robot_time_ns.begin() + begin, n, robot_time_ns.begin() + at);
  std::copy_n(c.timestamp.begin() + 2 * begin, 2 * n, timestamp.begin() + 2 * at);
  std::copy_n(c.valid.begin() + begin, n, valid.begin() + at);

  const std::size_t w = c.every_joint_width;
  std::size_t j = 0;  // the field's every-joint column
  for (std::size_t k = 0; k < table_size_; ++k) {
    if (table_[k].width != 0) continue;
    const std::size_t column = j++;
    if (!selection_.wants(table_[k].name) || w == 0 || column >= c.every_joint.size()) continue;
    const double* src = c.every_joint[column].data();
    if (every_joint_) {
      auto it = joints.try_emplace(table_[k].name, rows_, w, selection_.float32).first;
      if (it->second.width < w) it->second.widen(rows_, w);
      joints_width = std::max(joints_width, it->second.width);
      it->second.put(at, n, src + begin * w, w, w);
      continue;
    }
    for (const auto& [group, slice] : layout_) {
      if (!selection_.wants(group) || slice.start_id >= w) continue;
      FloatColumn& out = group_fields.at({static_cast<int>(group), table_[k].name});
      // NaN where the samples lack some of the group's joints.
      const std::size_t count = std::min<std::size_t>(slice.dof, w - slice.start_id);
      out.put(at, n, src + begin * w + slice.start_id, w, count);
    }
  }

  for (const kvt::GroupColumns& g : c.groups) {
    if (!selection_.wants(g.group)) continue;
    for (std::size_t k = 0; k < table_size_ && k < g.fields.size(); ++k) {
      const std::size_t width = table_[k].width;
      if (width == 0 || !selection_.wants(table_[k].name)) continue;
      auto& out = group_fields
                      .try_emplace({static_cast<int>(g.group), table_[k].name}, rows_, width,
                                   selection_.float32)
                      .first->second;
      const double* src = g.fields[k].data();
      out.put(at, n, src + begin * width, width, width);
    }
  }
  filled_ += n;
}

void OutputColumns::add_status(const kvt::BasicColumns& c, std::size_t begin, std::size_t end) {
  const std::size_t at = filled_;
  add(c, begin, end);
  for (std::size_t k = 0; k < std::size(kvt::kStatusFields) && k < c.status.size(); ++k) {
    const kvt::FieldInfo& field = kvt::kStatusFields[k];
    if (!selection_.wants(field.name)) continue;
    StatusOutput& out = status[field.name];
    const std::size_t w = field.width;
    if (field.type == kvt::FieldType::kBool) {
      out.flags.resize(rows_ * w);
      std::copy_n(c.status[k].flags.begin() + begin * w, (end - begin) * w,
                  out.flags.begin() + at * w);
    } else {
      out.codes.resize(rows_ * w);
      std::copy_n(c.status[k].codes.begin() + begin * w, (end - begin) * w,
                  out.codes.begin() + at * w);
    }
  }
}

void OutputColumns::finish() {
  for (auto& [name, column] : joints) column.finish(filled_);
  for (auto& [key, column] : group_fields) column.finish(filled_);
}

}  // namespace orbalt::kvt_recording::python
