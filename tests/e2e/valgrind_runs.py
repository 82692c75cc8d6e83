#!/usr/bin/env python3
"""The main paths of the end-to-end suites with the agent under valgrind.

    valgrind_runs.py AGENT [-- unittest arguments]

Each case of test_agent.py and test_faults.py named below runs as it always
does, but with the native agent started by memcheck. Any invalid access, use
of an uninitialised value or definite leak makes valgrind print to standard
error and exit with 99, which the cases see as a wrong exit code or a
non-empty standard error. Memory that libc and libcurl keep reachable until
the process ends is not an error and needs no suppression.
"""

import harness
import test_agent  # noqa: F401  (named below)
import test_faults  # noqa: F401

MEMCHECK = ["valgrind", "--tool=memcheck", "--quiet", "--error-exitcode=99",
            "--leak-check=full", "--show-leak-kinds=definite,indirect",
            "--errors-for-leak-kinds=definite,indirect", "--track-origins=yes"]

CASES = [
    # Success, with and without an output name, and the upgrade page.
    "test_agent.SigningJob.test_success_sends_the_three_calls_and_saves_under_the_output_option",
    "test_agent.SigningJob.test_default_output_name_is_the_url_last_segment_and_overwrites",
    "test_agent.UpgradeMode.test_upgrade_opens_the_page_and_ignores_every_other_setting",
    # The agent's own refusals and the service's.
    "test_agent.Failures.test_usage_when_key_or_inputs_are_missing",
    "test_agent.Failures.test_missing_input_is_named_and_nothing_is_sent",
    "test_agent.Failures.test_version_check_refusal_prints_the_message_and_uploads_nothing",
    "test_agent.Failures.test_http_failures_write_the_body_verbatim",
    "test_agent.Failures.test_download_url_that_cannot_be_split",
    "test_agent.Failures.test_an_output_that_cannot_be_written_makes_no_request",
    # Faults of the network, the disk and the inputs.
    "test_faults.Network.test_connection_refused",
    "test_faults.Network.test_server_closes_before_the_reply",
    "test_faults.Network.test_server_closes_in_the_middle_of_the_reply",
    "test_faults.Network.test_garbage_instead_of_a_status_line",
    "test_faults.Network.test_huge_version_reply_is_refused_with_bounded_memory",
    "test_faults.BothBuildsAlike.test_table",
    "test_faults.Disk.test_full_disk_under_the_temporary_file",
    "test_faults.Inputs.test_inputs_that_are_not_regular_files_are_refused_before_any_request",
    "test_faults.Inputs.test_input_truncated_between_the_check_and_the_upload",
]


if __name__ == "__main__":
    # The memory bound of the huge reply is the native run's; memcheck's own
    # bookkeeping is no measure of it.
    harness.main("valgrind_runs.py AGENT [-- unittest arguments]", prefix=MEMCHECK,
                 default_tests=CASES)
