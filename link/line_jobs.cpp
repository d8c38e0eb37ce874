// The jobs of a filter line as plain values. They are formed on every platform (the settings
// table makes a setting's job); filter_lines.cpp runs them.
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
