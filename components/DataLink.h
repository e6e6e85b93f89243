// The observer through which bound controls (a grid, a table model) follow a
// dataset, without the dataset knowing any widget.
#pragma once

namespace ledra {

class TDataLink {
 public:
  virtual ~TDataLink() = default;
  // The data changed: fetch again. Also sent when EnableControls brings the
  // count back to zero, and when the dataset opens or closes.
  virtual void DataSetChanged() {}
  // The current record's values changed.
  virtual void RecordChanged() {}
  // The current record moved by `distance` records (0 when not known).
  virtual void DataSetScrolled(int /*distance*/) {}
  // Opened / closed.
  virtual void ActiveChanged(bool /*active*/) {}
  // About to close: let go of whatever holds the table open (a cloned
  // cursor), so that the close itself finishes the table's files.
  virtual void DataSetClosing() {}
  virtual void ControlsDisabledChanged(bool /*disabled*/) {}
};

}  // namespace ledra
