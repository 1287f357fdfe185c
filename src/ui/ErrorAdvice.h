// Plain Japanese lines that go with a failure's own text: what failed (which host, which port)
// and what to try. The failure's text is kept; the line is added below it.
#pragma once

#include <QString>
#include <optional>

namespace vox::ui {

// The failure's own text as shown on this system: a socket error's "Windows " prefix dropped.
QString SystemErrorText(const QString& error);

// The system's error number a socket error carries ("... (111) [API 'connect']"), if any.
std::optional<int> SocketErrorCode(const QString& error);

// One line for a listener that could not open on port.
QString ListenAdvice(const QString& error, int port);

// One line for a call to host:port that could not be made.
QString CallAdvice(const QString& error, const QString& host, int port);

// The failure's text and its advice, for an error box.
QString WithAdvice(const QString& error, const QString& advice);

// A sound failure: what is missing (microphone or speaker) and what to try.
QString MicrophoneAdvice();
QString SpeakerAdvice();

// The characters of text that CP932 cannot carry, each once, in order of appearance; empty
// when the whole text arrives as typed.
QString CharactersLostInCp932(const QString& text);

}  // namespace vox::ui
