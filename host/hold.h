// Undo system: records of reversible changes grouped into labelled entries of theHold.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One reversible change. Restore(true) puts back the state before the change (undo);
// Redo() puts back the state after it. A record keeps alive whatever it needs.
class RestoreObj {
  public:
    virtual ~RestoreObj() = default;
    virtual void Restore(bool isUndo) = 0;
    virtual void Redo() = 0;
    virtual std::string Description() const { return "RestoreObj"; }
};

// The undo stack. Code that changes undoable state calls Put when Holding() is true.
// Begin/Accept pairs nest; only the outermost Accept makes an undo entry. Single-threaded:
// only the thread that edits the scene may use it.
class Hold {
  public:
    void Begin();
    // Takes the record when a hold is open and not suspended; otherwise drops it.
    void Put(std::unique_ptr<RestoreObj> record);
    // Closes one Begin; the outermost one stores the collected records as one entry
    // labelled label (nothing is stored when no record was collected) and clears redo.
    void Accept(const std::string& label);
    // Restores, newest first, every record collected since the outermost Begin, drops them
    // and closes all open Begins.
    void Cancel();
    // While suspended (counted), Put drops records.
    void Suspend();
    void Resume();
    bool Holding() const { return depth_ > 0 && suspended_ == 0 && !restoring_; }
    bool IsSuspended() const { return suspended_ > 0; }
    // True while Undo, Redo or Cancel runs records.
    bool Restoring() const { return restoring_; }

    // Undo/Redo the newest entry; false when there is none or a hold is open.
    bool Undo();
    bool Redo();
    int UndoCount() const { return static_cast<int>(undo_.size()); }
    int RedoCount() const { return static_cast<int>(redo_.size()); }
    // Labels of the entries Undo and Redo would apply next; empty when there is none.
    std::string UndoLabel() const;
    std::string RedoLabel() const;
    // Drops every entry and any open hold (releases what the records kept alive).
    void Clear();

  private:
    struct Entry {
        std::string label;
        std::vector<std::unique_ptr<RestoreObj>> records;
    };
    int depth_ = 0;
    int suspended_ = 0;
    bool restoring_ = false;
    std::vector<std::unique_ptr<RestoreObj>> pending_;
    std::vector<Entry> undo_;
    std::vector<Entry> redo_;
};

extern Hold theHold;

// A record made of two functions; whatever they capture (RefPtr copies included) lives as
// long as the record.
class FunctionRestore : public RestoreObj {
  public:
    FunctionRestore(std::function<void()> undo, std::function<void()> redo,
                    std::string description = "FunctionRestore")
        : undo_(std::move(undo)), redo_(std::move(redo)), description_(std::move(description)) {}
    void Restore(bool) override { undo_(); }
    void Redo() override { redo_(); }
    std::string Description() const override { return description_; }

  private:
    std::function<void()> undo_;
    std::function<void()> redo_;
    std::string description_;
};
