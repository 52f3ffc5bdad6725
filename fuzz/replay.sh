exec bash "$(dirname "$0")/run.sh" replay # make fuzz-replay: each target once over its committed corpus
