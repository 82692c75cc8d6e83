// Which of the HTTP library's error numbers name a fault that may pass: the
// connection could not be made, was reset or closed, or moved too slowly.
// A certificate that does not verify, a URL or protocol the library refuses,
// a proxy's refusal and the agent's own refusals of a reply are not among
// them: trying again would meet them again.
#pragma once

bool isPassingNetError(unsigned long number);
