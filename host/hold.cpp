#include "hold.h"

#include <utility>

Hold theHold;

namespace {
// Records must not record further changes while they run.
class RestoringScope {
  public:
    explicit RestoringScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~RestoringScope() { flag_ = old_; }

  private:
    bool& flag_;
    bool old_;
};
}  // namespace

void Hold::Begin() { ++depth_; }

void Hold::Put(std::unique_ptr<RestoreObj> record) {
    if (record && Holding()) {
        pending_.push_back(std::move(record));
    }
}

void Hold::Accept(const std::string& label) {
    if (depth_ == 0) {
        return;
    }
    if (--depth_ > 0) {
        return;
    }
    if (pending_.empty()) {
        return;
    }
    undo_.push_back(Entry{label, std::move(pending_)});
    pending_.clear();
    redo_.clear();
}

void Hold::Cancel() {
    depth_ = 0;
    std::vector<std::unique_ptr<RestoreObj>> records = std::move(pending_);
    pending_.clear();
    RestoringScope scope(restoring_);
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        (*it)->Restore(true);
    }
}

void Hold::Suspend() { ++suspended_; }

void Hold::Resume() {
    if (suspended_ > 0) {
        --suspended_;
    }
}

bool Hold::Undo() {
    if (undo_.empty() || depth_ > 0) {
        return false;
    }
    Entry entry = std::move(undo_.back());
    undo_.pop_back();
    {
        RestoringScope scope(restoring_);
        for (auto it = entry.records.rbegin(); it != entry.records.rend(); ++it) {
            (*it)->Restore(true);
        }
    }
    redo_.push_back(std::move(entry));
    return true;
}

bool Hold::Redo() {
    if (redo_.empty() || depth_ > 0) {
        return false;
    }
    Entry entry = std::move(redo_.back());
    redo_.pop_back();
    {
        RestoringScope scope(restoring_);
        for (auto& record : entry.records) {
            record->Redo();
        }
    }
    undo_.push_back(std::move(entry));
    return true;
}

std::string Hold::UndoLabel() const { return undo_.empty() ? std::string() : undo_.back().label; }
std::string Hold::RedoLabel() const { return redo_.empty() ? std::string() : redo_.back().label; }

void Hold::Clear() {
    depth_ = 0;
    suspended_ = 0;
    // Records may release objects whose destructors touch theHold; move them out first.
    auto pending = std::move(pending_);
    auto undo = std::move(undo_);
    auto redo = std::move(redo_);
    pending_.clear();
    undo_.clear();
    redo_.clear();
}
