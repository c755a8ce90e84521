#pragma once

class QNetworkAccessManager;

namespace Corvane {

// The process-wide network access manager shared by metadata requests and image downloads.
// Created on first use in the calling thread (the main thread) and destroyed at exit.
QNetworkAccessManager *networkAccessManager();

} // namespace Corvane
