#pragma once

#include <QString>
#include <chrono>

// Whether the session bus answers a Hello within `limit`. Qt's connection to the bus waits on
// a stopped daemon without end (the handshake has no timeout); asked first, a stopped bus costs
// `limit` and a clear message instead. False with `whyNot` set when the bus doesn't answer.
bool sessionBusAnswers(std::chrono::milliseconds limit, QString& whyNot);
