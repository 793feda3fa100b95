// Line services of the PBX.
#pragma once

#include <string>
#include <vector>

class INorCOMService
{
public:
    // 0 when no line of that name is open or the PBX component is absent.
    virtual int GetCOS(const std::string& lineName) = 0;
    virtual void SetCOS(const std::string& lineName, int cos) = 0;
    // Rewrites number in place into the PBX's dialable form; unchanged without the PBX component.
    virtual void ToDialable(std::string& number) = 0;
    // Name of a free SIP line, or empty.
    virtual std::string GetFreeSipLine() = 0;
    // Names of all the free SIP lines, in the order GetFreeSipLine would pick them.
    virtual std::vector<std::string> GetFreeSipLines()
    {
        std::string line = GetFreeSipLine();
        return line.empty() ? std::vector<std::string>() : std::vector<std::string>{line};
    }

protected:
    ~INorCOMService() = default;
};
