// The jobs of a filter line as plain values, and the merge of a record a job hands back. They are
// used on every platform (the settings table makes a setting's job, the client of served filters
// merges their records); filter_lines.cpp runs the jobs.
#include "link/filter_lines.h"

LineJob connect_job(const char* port_name)
{
    LineJob job;
    job.kind = JOB_CONNECT;
    copy_text(job.port_name, PORT_NAME_SIZE, port_name, PORT_NAME_SIZE - 1);
    return job;
}

LineJob command_job(const char* command, int poll_after, LineEdit edit)
{
    LineJob job;
    job.kind = JOB_COMMAND;
    copy_text(job.command, COMMAND_BUFFER_SIZE, command, COMMAND_BUFFER_SIZE - 1);
    job.poll_after = poll_after;
    job.edit = edit;
    return job;
}

LineJob simple_job(LineJobKind kind)
{
    LineJob job;
    job.kind = kind;
    return job;
}

void merge_line_record(FilterRecord& mine, const FilterRecord& from_line)
{
    const int slot_index = mine.slot_index;
    const double zoom_span = mine.zoom_span;
    char port_name[PORT_NAME_SIZE];
    copy_text(port_name, PORT_NAME_SIZE, mine.port_name, PORT_NAME_SIZE - 1);
    mine = from_line;
    mine.slot_index = slot_index;
    mine.zoom_span = zoom_span;
    copy_text(mine.port_name, PORT_NAME_SIZE, port_name, PORT_NAME_SIZE - 1);
    mine.port_handle = -1;
}
