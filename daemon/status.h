#ifndef TORPORD_STATUS_H
#define TORPORD_STATUS_H

// The status file: for each watched disk its state (active, idle, spun-down
// or unseen), since when, and how often and how long it was spun down since
// the daemon started, for the appliance's own programs to show. It is
// replaced whole, and only when a state or a figure changes, so a cycle in
// which nothing changes writes nothing.

// After each configuration load: takes the new table, keeping the figures
// of every disk whose device name is still in it.
void statusLoaded();

// After each cycle's sample and spin-downs: moves each disk to its new state
// and writes the file when anything changed. A file that cannot be written
// is left as it is.
void statusUpdate();

#endif
