# Read by CTest after the discovered tests: the longest ones start first, so
# that a parallel run does not end with one of them running alone. A build
# folder without timings of its own (a clean one) has only these figures;
# CTest orders later runs by the last run's times. COST is about seconds; a
# name that is no longer a test is passed over.
set_tests_properties(EndToEnd.KilledDaemonLosesNothing PROPERTIES COST 80)
set_tests_properties(EndToEnd.WriteLockedDatabaseHoldsUpNoMail PROPERTIES COST 21)
set_tests_properties(QueueCommands.WorkBesideTheRunningDaemon PROPERTIES COST 15)
set_tests_properties(EndToEnd.DaemonDeliversFilesAuditsAndCounts PROPERTIES COST 8)
