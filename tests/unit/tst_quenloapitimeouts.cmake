# Five calls against limits shrunk to fractions of a second; a few seconds in all.
set(TEST_TIMEOUT 60)
