# upq: creates, lists and extracts update archives with the updater's own
# format code (updater/formats).
vlm_executable(upq SRCS upq/upq.cc DEPS vlm_upq vlm_upq_writer vlm_upq_signature)
