#pragma once

// Whether the consent (elevation) prompt is up, which the capture counts as the secure desktop.
// Only a prompt program found in the system folder is evidence: a program of the same name
// elsewhere is anyone's, and a foreground program this agent cannot look at (another account's,
// or one replaced on disk) is no evidence at all.
namespace veltrix {

// A consent host from the system folder runs (any of the five prompt programs).
bool isConsentRunning();

// The foreground window belongs to a consent host from the system folder (one of the four that
// show the prompt itself).
bool foregroundLooksLikeUac();

}  // namespace veltrix
