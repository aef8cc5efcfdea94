// The connection a worker thread reads a dataset's data source through. A QSqlDatabase belongs
// to the thread that made it, so a worker reads an application's Qt connection through a copy
// of its own; every other database name gives the worker a connection of its own anyway, made
// when its copy of the dataset opens.
#pragma once

#include <string>

namespace zel {

class TDataSet;

// On the thread that owns `dataset`: why a connection of another thread would not see the rows
// the dataset reads (an in-memory SQLite database, a transaction the application holds open on
// its connection), as the end of a sentence; empty when it would.
std::string WorkerReadGap(const TDataSet& dataset);

// Made on the worker thread before its copy of the dataset (TDataSet::NewSourceCopy) opens, and
// destroyed there after the copy closed: points the copy at the worker's connection, and
// removes the copy of an application's connection at the end.
class TWorkerConnection {
public:
    explicit TWorkerConnection(TDataSet& copy);
    ~TWorkerConnection();
    TWorkerConnection(const TWorkerConnection&) = delete;
    TWorkerConnection& operator=(const TWorkerConnection&) = delete;

private:
    std::string copiedConnection_;
};

} // namespace zel
