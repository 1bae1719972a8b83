#include "brindle_diagnostics.h"

#include "vell/output.h"

namespace brindle {

void SetDiagnosticSink(DiagnosticSink sink) {
    vell::SetOutputSink(std::move(sink));
}

void UseStandardOutputForDiagnostics() {
    vell::RestoreStandardOutputSink();
}

}  // namespace brindle
